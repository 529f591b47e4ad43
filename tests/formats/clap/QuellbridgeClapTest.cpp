// The Quellbridge CLAP module as a host sees it: entry, factory, descriptor,
// parameters, text conversions, state, and the audio paths of the format.
#include <clap/plugin-factory.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ClapTestSupport.h"

namespace {

constexpr const char* kId = "com.halvorn.quellbridge";

qbhost::ClapModule* Module() { return qbtest::LoadOnce(QB_CLAP_MODULE_PATH); }

std::unique_ptr<qbhost::ClapInstance> NewInstance() {
  qbhost::ClapModule* m = Module();
  if (!m) return nullptr;
  auto instance = m->CreateClapInstance(0);
  EXPECT_TRUE(instance);
  return instance;
}

TEST(QuellbridgeClapEntry, DeclaresClapVersionAndOneFactory) {
  qbhost::ClapModule* m = Module();
  ASSERT_TRUE(m);
  const clap_plugin_entry_t* entry = m->Entry();
  EXPECT_EQ(entry->clap_version.major, 1u);
  EXPECT_EQ(entry->clap_version.minor, 2u);
  EXPECT_EQ(entry->clap_version.revision, 8u);
  EXPECT_EQ(entry->get_factory("clap.plugin-factory"), m->Factory());
  EXPECT_EQ(entry->get_factory("clap.plugin-invalidation-factory"), nullptr);
  EXPECT_EQ(entry->get_factory(nullptr), nullptr);
  EXPECT_EQ(m->Factory()->get_plugin_count(m->Factory()), 1u);
}

TEST(QuellbridgeClapEntry, DescriptorHoldsTheIdentity) {
  qbhost::ClapModule* m = Module();
  ASSERT_TRUE(m);
  const clap_plugin_factory_t* f = m->Factory();
  const clap_plugin_descriptor_t* d = f->get_plugin_descriptor(f, 0);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->clap_version.major, 1u);
  EXPECT_EQ(d->clap_version.minor, 2u);
  EXPECT_EQ(d->clap_version.revision, 8u);
  EXPECT_STREQ(d->id, kId);
  EXPECT_STREQ(d->name, "Quellbridge");
  EXPECT_STREQ(d->vendor, "Halvorn");
  EXPECT_STREQ(d->url, "");
  EXPECT_STREQ(d->manual_url, "");
  EXPECT_STREQ(d->support_url, "");
  EXPECT_STREQ(d->version, "1.2.0");
  EXPECT_STREQ(d->description, "Spectral dynamics processor with inter-plugin sidechain");
  ASSERT_TRUE(d->features);
  std::vector<std::string> features;
  for (const char* const* p = d->features; *p; ++p) features.emplace_back(*p);
  EXPECT_EQ(features, (std::vector<std::string>{"audio-effect", "compressor", "spectral"}));
  EXPECT_EQ(f->get_plugin_descriptor(f, 1), nullptr);
  EXPECT_EQ(f->get_plugin_descriptor(f, 0xffffffffu), nullptr);

  const std::vector<qbhost::PluginIdentity> plugins = m->Plugins();
  ASSERT_EQ(plugins.size(), 1u);
  EXPECT_EQ(plugins[0].category, "audio-effect|compressor|spectral");
}

TEST(QuellbridgeClapEntry, CreatesOnlyItsOwnId) {
  qbhost::ClapModule* m = Module();
  ASSERT_TRUE(m);
  for (const char* foreign : {"com.halvorn.quellbridgex", "com.halvorn", "", "COM.HALVORN.QUELLBRIDGE"}) {
    std::string error;
    EXPECT_EQ(m->CreateClapInstanceById(foreign, error), nullptr) << foreign;
  }
  const clap_plugin_factory_t* f = m->Factory();
  EXPECT_EQ(f->create_plugin(f, nullptr, kId), nullptr);  // a host is mandatory
  std::string error;
  auto instance = m->CreateClapInstanceById(kId, error);
  ASSERT_TRUE(instance) << error;
  EXPECT_STREQ(instance->Plugin()->desc->id, kId);
}

TEST(QuellbridgeClapEntry, DeinitDropsTheDescriptorAndInitRebuildsIt) {
  qbhost::ClapModule* m = Module();
  ASSERT_TRUE(m);
  const clap_plugin_entry_t* entry = m->Entry();
  const clap_plugin_factory_t* f = m->Factory();
  entry->deinit();
  EXPECT_EQ(f->get_plugin_descriptor(f, 0), nullptr);
  clap_host_t host{};
  EXPECT_EQ(f->create_plugin(f, &host, kId), nullptr);
  ASSERT_TRUE(entry->init(QB_CLAP_MODULE_PATH));
  ASSERT_TRUE(entry->init(QB_CLAP_MODULE_PATH));  // a second init replaces the descriptor
  const clap_plugin_descriptor_t* d = f->get_plugin_descriptor(f, 0);
  ASSERT_TRUE(d);
  EXPECT_STREQ(d->id, kId);
  EXPECT_TRUE(m->CreateClapInstance(0));
}

struct ExpectedParam {
  const char* name;
  double min, max, def;
  bool stepped;
};

TEST(QuellbridgeClapParams, FourteenParametersInIndexOrder) {
  const ExpectedParam expected[] = {
      {"FreqLow", 20, 2000, 200, false},   {"FreqHigh", 500, 20000, 5000, false}, {"ThreshLow", -60, 0, -20, false},
      {"ThreshMid", -60, 0, -20, false},   {"ThreshHigh", -60, 0, -20, false},    {"RatioLow", 1, 20, 4, false},
      {"RatioMid", 1, 20, 4, false},       {"RatioHigh", 1, 20, 4, false},        {"Attack", 0.1, 300, 10, false},
      {"Release", 5, 2000, 100, false},    {"Makeup", -12, 24, 0, false},         {"LinkSlot", 0, 4, 0, true},
      {"HP", 20, 1000, 20, false},         {"LP", 1000, 20000, 20000, false},
  };
  auto instance = NewInstance();
  ASSERT_TRUE(instance);
  const clap_plugin_params_t* params = instance->ParamsExt();
  ASSERT_TRUE(params);
  ASSERT_EQ(params->count(instance->Plugin()), 14u);
  for (uint32_t i = 0; i < 14; ++i) {
    SCOPED_TRACE(expected[i].name);
    clap_param_info_t info{};
    ASSERT_TRUE(params->get_info(instance->Plugin(), i, &info));
    EXPECT_EQ(info.id, i);
    EXPECT_STREQ(info.name, expected[i].name);
    EXPECT_STREQ(info.module, "");
    EXPECT_DOUBLE_EQ(info.min_value, expected[i].min);
    EXPECT_DOUBLE_EQ(info.max_value, expected[i].max);
    EXPECT_DOUBLE_EQ(info.default_value, expected[i].def);
    const uint32_t flags = CLAP_PARAM_IS_AUTOMATABLE | (expected[i].stepped ? static_cast<uint32_t>(CLAP_PARAM_IS_STEPPED) : 0u);
    EXPECT_EQ(info.flags, flags);
    EXPECT_DOUBLE_EQ(instance->GetParam(i), expected[i].def);
  }
  clap_param_info_t info{};
  EXPECT_FALSE(params->get_info(instance->Plugin(), 14, &info));
  double v = 0;
  EXPECT_FALSE(params->get_value(instance->Plugin(), 14, &v));
  EXPECT_FALSE(params->get_value(instance->Plugin(), 0xffffffffu, &v));
}

TEST(QuellbridgeClapParams, ValueToTextShowsValueAndUnit) {
  struct Case {
    uint32_t id;
    double value;
    const char* text;
  } cases[] = {
      {0, 200, "200 Hz"},       {0, 1234.4, "1234 Hz"}, {1, 20000, "20000 Hz"}, {2, -20, "-20.0 dB"},
      {3, -0.04, "0.0 dB"},     {5, 4, "4.0:1"},        {7, 19.96, "20.0:1"},   {8, 0.1, "0.1 ms"},
      {9, 100, "100 ms"},       {10, 24, "24.0 dB"},    {11, 3, "3"},           {12, 5, "20 Hz"},
      {13, 1e9, "20000 Hz"},
  };
  auto instance = NewInstance();
  ASSERT_TRUE(instance);
  for (const Case& c : cases) EXPECT_EQ(instance->ValueToText(c.id, c.value), c.text) << c.id << " " << c.value;

  char tiny[4];
  ASSERT_TRUE(instance->ParamsExt()->value_to_text(instance->Plugin(), 1, 5000, tiny, sizeof tiny));
  EXPECT_STREQ(tiny, "500");  // cut to the host's buffer, still terminated
  EXPECT_FALSE(instance->ParamsExt()->value_to_text(instance->Plugin(), 14, 1, tiny, sizeof tiny));
  EXPECT_FALSE(instance->ParamsExt()->value_to_text(instance->Plugin(), 0, 1, tiny, 0));
}

TEST(QuellbridgeClapParams, TextToValueParsesWithOrWithoutUnit) {
  struct Case {
    uint32_t id;
    const char* text;
    bool ok;
    double value;
  } cases[] = {
      {0, "1234 Hz", true, 1234},   {0, "  567  ", true, 567},    {0, "99999", true, 2000},
      {2, "-12.34 dB", true, -12.34}, {5, "2.5:1", true, 2.5},     {8, "0.04 ms", true, 0.1},
      {11, "2", true, 2},           {11, "7", true, 4},           {0, "abc", false, 0},
      {0, "12 kHz", false, 0},      {2, "", false, 0},            {2, "nan", false, 0},
  };
  auto instance = NewInstance();
  ASSERT_TRUE(instance);
  for (const Case& c : cases) {
    double v = -999;
    EXPECT_EQ(instance->TextToValue(c.id, c.text, v), c.ok) << c.id << " '" << c.text << "'";
    if (c.ok) {
      EXPECT_NEAR(v, c.value, 1e-9) << c.id << " '" << c.text << "'";
    }
  }
  // Every parameter's text parses back to the value it shows.
  for (const qbhost::ParamInfo& p : instance->Params()) {
    for (double v : {p.minValue, p.defaultValue, p.maxValue, 0.37 * p.minValue + 0.63 * p.maxValue}) {
      const std::string text = instance->ValueToText(p.id, v);
      double back = 0;
      ASSERT_TRUE(instance->TextToValue(p.id, text, back)) << p.name << " '" << text << "'";
      EXPECT_EQ(instance->ValueToText(p.id, back), text) << p.name;
    }
  }
}

TEST(QuellbridgeClapState, SaveLoadSaveIsByteIdentical) {
  auto a = NewInstance();
  ASSERT_TRUE(a);
  a->SetParam(0, 321);
  a->SetParam(4, -33.3);
  a->SetParam(11, 3);
  a->SetParam(13, 12345);
  std::vector<uint8_t> saved;
  ASSERT_TRUE(a->SaveState(saved));
  ASSERT_FALSE(saved.empty());

  for (size_t piece : {size_t{0}, size_t{1}, size_t{7}}) {
    SCOPED_TRACE(piece);
    auto b = NewInstance();
    ASSERT_TRUE(b);
    b->SetStreamPieceSize(piece);
    ASSERT_TRUE(b->LoadState(saved));
    EXPECT_EQ(b->Record().rescans.load(), 1);
    EXPECT_TRUE(b->Record().rescanFlags.load() & CLAP_PARAM_RESCAN_VALUES);
    std::vector<uint8_t> again;
    ASSERT_TRUE(b->SaveState(again));
    EXPECT_EQ(again, saved);
    EXPECT_DOUBLE_EQ(b->GetParam(0), 321);
    EXPECT_DOUBLE_EQ(b->GetParam(4), -33.3);
    EXPECT_DOUBLE_EQ(b->GetParam(11), 3);
    EXPECT_DOUBLE_EQ(b->GetParam(13), 12345);
    qbtest::ExpectNoViolations(*b);
  }
}

TEST(QuellbridgeClapState, TruncatedStateIsRefusedAndHarmless) {
  auto a = NewInstance();
  ASSERT_TRUE(a);
  std::vector<uint8_t> saved;
  ASSERT_TRUE(a->SaveState(saved));
  for (size_t keep : {size_t{0}, size_t{1}, saved.size() / 2, saved.size() - 1}) {
    auto b = NewInstance();
    ASSERT_TRUE(b);
    std::vector<uint8_t> cut(saved.begin(), saved.begin() + static_cast<long>(keep));
    // Only the trailing editor size may be missing for a load to succeed.
    EXPECT_EQ(b->LoadState(cut), keep >= 346) << keep;
    for (const qbhost::ParamInfo& p : b->Params()) {
      const double v = b->GetParam(p.id);
      EXPECT_TRUE(v >= p.minValue && v <= p.maxValue) << p.name << " " << v;
    }
    ASSERT_TRUE(b->Activate(48000, 256));
    std::vector<double> l(256, 0.25), r(256, -0.25), ol(256), orr(256);
    const double* in[] = {l.data(), r.data()};
    double* out[] = {ol.data(), orr.data()};
    EXPECT_TRUE(b->Process(in, 2, out, 2, 256));
    EXPECT_TRUE(qbtest::AllFinite(ol) && qbtest::AllFinite(orr));
  }
}

TEST(QuellbridgeClapProcess, ParameterEventsArriveWithTheBlock) {
  auto instance = NewInstance();
  ASSERT_TRUE(instance);
  ASSERT_TRUE(instance->Activate(48000, 128));
  instance->SetParam(10, 6.5);
  instance->SetParam(11, 2);
  instance->SetParam(99, 1);  // unknown ids are ignored
  EXPECT_DOUBLE_EQ(instance->GetParam(10), 0);  // still queued
  std::vector<double> l(128), r(128), ol(128), orr(128);
  const double* in[] = {l.data(), r.data()};
  double* out[] = {ol.data(), orr.data()};
  ASSERT_TRUE(instance->Process(in, 2, out, 2, 0));  // an empty block still takes the events
  EXPECT_DOUBLE_EQ(instance->GetParam(10), 6.5);
  EXPECT_DOUBLE_EQ(instance->GetParam(11), 2);
  EXPECT_TRUE(instance->TakeParamChangesFromPlugin().empty());  // host changes are not echoed
  qbtest::ExpectNoViolations(*instance);
}

// Runs `frames` of a stereo test signal through a fresh instance in blocks of
// `block`, announcing `maxBlock`; 32-bit when asked.
std::vector<double> Render(int frames, int block, int maxBlock, bool float32, int outChannels = 2,
                           bool sideChainNoise = false) {
  auto instance = NewInstance();
  if (!instance) return {};
  EXPECT_TRUE(instance->Activate(48000, maxBlock, true));
  const std::vector<double> l = qbtest::Sine(frames, 440, 48000, 0.5);
  const std::vector<double> r = qbtest::Sine(frames, 1250, 48000, 0.3, 1.0);
  const std::vector<double> side = qbtest::Noise(frames, sideChainNoise ? 0.9 : 0.0, 7);
  std::vector<double> result;
  std::vector<double> o0(static_cast<size_t>(block)), o1(static_cast<size_t>(block));
  std::vector<float> f[4], fo0(static_cast<size_t>(block)), fo1(static_cast<size_t>(block));
  for (int pos = 0; pos < frames; pos += block) {
    const int n = std::min(block, frames - pos);
    bool ok;
    if (float32) {
      const std::vector<double>* src[4] = {&l, &r, &side, &side};
      for (int c = 0; c < 4; ++c) f[c].assign(src[c]->begin() + pos, src[c]->begin() + pos + n);
      const float* in[] = {f[0].data(), f[1].data(), f[2].data(), f[3].data()};
      float* out[] = {fo0.data(), fo1.data()};
      ok = instance->ProcessFloat(in, 4, out, outChannels, n);
      for (int i = 0; i < n; ++i) {
        o0[i] = fo0[i];
        o1[i] = fo1[i];
      }
    } else {
      const double* in[] = {l.data() + pos, r.data() + pos, side.data() + pos, side.data() + pos};
      double* out[] = {o0.data(), o1.data()};
      ok = instance->Process(in, 4, out, outChannels, n);
    }
    EXPECT_TRUE(ok);
    for (int i = 0; i < n; ++i) {
      result.push_back(o0[i]);
      if (outChannels > 1) result.push_back(o1[i]);
    }
  }
  qbtest::ExpectNoViolations(*instance);
  return result;
}

void ExpectClose(const std::vector<double>& a, const std::vector<double>& b, double tolerance) {
  ASSERT_EQ(a.size(), b.size());
  size_t worst = 0;
  double worstDiff = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::fabs(a[i] - b[i]) > worstDiff) {
      worstDiff = std::fabs(a[i] - b[i]);
      worst = i;
    }
  }
  EXPECT_LE(worstDiff, tolerance) << "at sample " << worst;
}

TEST(QuellbridgeClapProcess, FloatAndDoubleBuffersGiveTheSameAudio) {
  const std::vector<double> d = Render(6000, 256, 256, false);
  const std::vector<double> f = Render(6000, 256, 256, true);
  ASSERT_TRUE(qbtest::AllFinite(d));
  ExpectClose(d, f, 1e-5);
}

TEST(QuellbridgeClapProcess, BlocksLongerThanAnnouncedAreProcessedInPieces) {
  const std::vector<double> whole = Render(6000, 500, 512, false);
  const std::vector<double> pieces = Render(6000, 500, 64, false);
  ExpectClose(whole, pieces, 1e-9);
}

TEST(QuellbridgeClapProcess, SecondInputHasNoInfluence) {
  ExpectClose(Render(4096, 256, 256, false, 2, false), Render(4096, 256, 256, false, 2, true), 0.0);
}

TEST(QuellbridgeClapProcess, MonoOutputIsFinite) {
  const std::vector<double> mono = Render(3000, 300, 300, false, 1);
  EXPECT_EQ(mono.size(), 3000u);
  EXPECT_TRUE(qbtest::AllFinite(mono));
}

TEST(QuellbridgeClapLatency, AnnouncedOnlyInsideActivate) {
  auto instance = NewInstance();
  ASSERT_TRUE(instance);
  int known = instance->Latency();
  EXPECT_EQ(known, 2048) << "twice the default transform before the first activation";
  int notified = 0;
  // The true delay of the path: twice the transform length for the rate.
  const std::pair<double, int> rates[] = {{22050, 1024}, {44100, 2048}, {48000, 2048}, {96000, 4096},
                                          {192000, 8192}, {44100, 2048}};
  for (auto [rate, expected] : rates) {
    SCOPED_TRACE(rate);
    ASSERT_TRUE(instance->Activate(rate, 512));
    const int latency = instance->Latency();
    EXPECT_EQ(latency, expected);
    if (latency != known) ++notified;
    known = latency;
    EXPECT_EQ(instance->LatencyChangeNotifications(), notified);
    instance->Deactivate();
  }
  EXPECT_EQ(instance->Record().restartRequests.load(), 0);
  qbtest::ExpectNoViolations(*instance);
}

TEST(QuellbridgeClapPorts, MainStereoPairAndStereoSidechain) {
  auto instance = NewInstance();
  ASSERT_TRUE(instance);
  const clap_plugin_audio_ports_t* ports = instance->AudioPortsExt();
  ASSERT_TRUE(ports);
  ASSERT_EQ(ports->count(instance->Plugin(), true), 2u);
  ASSERT_EQ(ports->count(instance->Plugin(), false), 1u);
  clap_audio_port_info_t info{};
  ASSERT_TRUE(ports->get(instance->Plugin(), 0, true, &info));
  EXPECT_EQ(info.channel_count, 2u);
  EXPECT_TRUE(info.flags & CLAP_AUDIO_PORT_IS_MAIN);
  EXPECT_STREQ(info.port_type, CLAP_PORT_STEREO);
  EXPECT_EQ(info.in_place_pair, 0u);
  ASSERT_TRUE(ports->get(instance->Plugin(), 1, true, &info));
  EXPECT_EQ(info.channel_count, 2u);
  EXPECT_FALSE(info.flags & CLAP_AUDIO_PORT_IS_MAIN);
  EXPECT_STREQ(info.name, "Sidechain");
  EXPECT_EQ(info.in_place_pair, CLAP_INVALID_ID);
  ASSERT_TRUE(ports->get(instance->Plugin(), 0, false, &info));
  EXPECT_EQ(info.channel_count, 2u);
  EXPECT_TRUE(info.flags & CLAP_AUDIO_PORT_IS_MAIN);
  EXPECT_EQ(info.in_place_pair, 0u);
  EXPECT_FALSE(ports->get(instance->Plugin(), 1, false, &info));
  EXPECT_FALSE(ports->get(instance->Plugin(), 2, true, &info));
}

}  // namespace
