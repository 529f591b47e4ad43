// The Quellbridge VST3 module as a host sees it: loaded from its bundle with
// dlopen, driven through the VST3 interfaces.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "AllocationCounter.h"
#include "Vst3Host.h"
#include "Vst3TestAudio.h"
#include "core/Identity.h"
#include "core/Parameters.h"

using namespace Steinberg;
using namespace Steinberg::Vst;
using vst3test::Channels;

namespace {

constexpr ParamID kBypassId = 65536;

class QuellbridgeVst3 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    sModule = qbhost::OpenVst3Module(QB_VST3_MODULE_PATH, error).release();
    ASSERT_NE(sModule, nullptr) << error;
  }
  static void TearDownTestSuite() {
    delete sModule;
    sModule = nullptr;
  }
  std::unique_ptr<qbhost::Vst3Instance> NewInstance() {
    auto instance = sModule->CreateVst3Instance(0);
    EXPECT_NE(instance, nullptr);
    return instance;
  }
  static qbhost::Vst3Module* sModule;
};
qbhost::Vst3Module* QuellbridgeVst3::sModule = nullptr;

std::string Hex(const uint8_t* bytes, size_t n) {
  TUID id{};
  std::memcpy(id, bytes, std::min<size_t>(n, 16));
  return qbhost::ClassIdToHex(id);
}

// Runs `blocks` blocks of the same deterministic signal through an instance.
template <typename Sample>
Channels<Sample> Render(qbhost::Vst3Instance& inst, int blocks, int frames, bool inPlace = false, int nIn = 2) {
  Channels<Sample> all(2, blocks * frames);
  for (int b = 0; b < blocks; ++b) {
    Channels<Sample> in(nIn, frames);
    vst3test::FillSignal(in, 1, static_cast<int64_t>(b) * frames);
    Channels<Sample> out(2, frames);
    Sample* const* outPtrs = inPlace ? in.Ptrs() : out.Ptrs();
    if constexpr (sizeof(Sample) == 8)
      EXPECT_TRUE(inst.Process(in.ConstPtrs(), nIn, outPtrs, 2, frames));
    else
      EXPECT_TRUE(inst.ProcessFloat(in.ConstPtrs(), nIn, outPtrs, 2, frames));
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < frames; ++i) all.data[c][static_cast<size_t>(b * frames + i)] = outPtrs[c][i];
  }
  return all;
}

TEST_F(QuellbridgeVst3, FactoryPublishesExactlyTheQuellbridgeClass) {
  IPluginFactory* factory = sModule->Factory();
  PFactoryInfo info;
  ASSERT_EQ(factory->getFactoryInfo(&info), kResultOk);
  EXPECT_STREQ(info.vendor, "Halvorn");
  EXPECT_STREQ(info.url, "");
  EXPECT_STREQ(info.email, "");
  EXPECT_EQ(info.flags, 16);
  ASSERT_EQ(factory->countClasses(), 1);

  PClassInfo ci;
  ASSERT_EQ(factory->getClassInfo(0, &ci), kResultOk);
  EXPECT_EQ(qbhost::ClassIdToHex(ci.cid), "F2AEE70D00DE4F4E4876726E48767162");
  const uint8_t expected[16] = {0xF2, 0xAE, 0xE7, 0x0D, 0x00, 0xDE, 0x4F, 0x4E,
                                0x48, 0x76, 0x72, 0x6E, 0x48, 0x76, 0x71, 0x62};
  EXPECT_EQ(std::memcmp(ci.cid, expected, 16), 0) << Hex(reinterpret_cast<const uint8_t*>(ci.cid), 16);
  EXPECT_EQ(ci.cardinality, 0x7FFFFFFF);
  EXPECT_STREQ(ci.category, "Audio Module Class");
  EXPECT_STREQ(ci.name, "Quellbridge");
  EXPECT_NE(factory->getClassInfo(1, &ci), kResultOk);

  IPluginFactory3* factory3 = nullptr;
  ASSERT_EQ(factory->queryInterface(IPluginFactory3::iid, reinterpret_cast<void**>(&factory3)), kResultOk);
  PClassInfo2 ci2;
  ASSERT_EQ(factory3->getClassInfo2(0, &ci2), kResultOk);
  EXPECT_EQ(ci2.classFlags, 2u);
  EXPECT_STREQ(ci2.subCategories, "Fx|Dynamics");
  EXPECT_STREQ(ci2.vendor, "");
  EXPECT_STREQ(ci2.version, "1.2.0");
  EXPECT_STREQ(ci2.sdkVersion, "VST 3.8.0");
  PClassInfoW ciw;
  ASSERT_EQ(factory3->getClassInfoUnicode(0, &ciw), kResultOk);
  EXPECT_EQ(qbhost::FromString128(ciw.name), "Quellbridge");
  EXPECT_EQ(qbhost::FromString128(ciw.version), "1.2.0");
  EXPECT_EQ(qbhost::FromString128(ciw.sdkVersion), "VST 3.8.0");
  EXPECT_EQ(std::memcmp(ciw.cid, expected, 16), 0);
  factory3->release();

  const auto plugins = sModule->Plugins();
  ASSERT_EQ(plugins.size(), 1u);
  EXPECT_EQ(plugins[0].name, "Quellbridge");
  EXPECT_EQ(plugins[0].vendor, "Halvorn");
  EXPECT_EQ(plugins[0].version, "1.2.0");
  EXPECT_EQ(plugins[0].category, "Fx|Dynamics");
}

TEST_F(QuellbridgeVst3, EntryPointsShareOneFactoryAndCountNestedEntries) {
  void* handle = sModule->LibraryHandle();
  auto getFactory = reinterpret_cast<IPluginFactory* (*)()>(dlsym(handle, "GetPluginFactory"));
  auto entry = reinterpret_cast<bool (*)(void*)>(dlsym(handle, "ModuleEntry"));
  auto exitFn = reinterpret_cast<bool (*)()>(dlsym(handle, "ModuleExit"));
  ASSERT_TRUE(getFactory && entry && exitFn);
  // Nothing else is exported.
  EXPECT_EQ(dlsym(handle, "qb_probe_stats"), nullptr);

  IPluginFactory* again = getFactory();
  EXPECT_EQ(again, sModule->Factory());
  EXPECT_EQ(again->release(), 1u);  // the host's own reference remains

  EXPECT_TRUE(entry(handle));
  EXPECT_TRUE(exitFn());
  EXPECT_TRUE(exitFn());   // the host's entry
  EXPECT_FALSE(exitFn());  // no entry left
  EXPECT_TRUE(entry(handle));

  // A second host loading the bundle directory meets the same factory.
  std::string error;
  auto second = qbhost::OpenVst3Module(QB_VST3_BUNDLE_PATH, error);
  ASSERT_NE(second, nullptr) << error;
  EXPECT_EQ(second->Factory(), sModule->Factory());
  EXPECT_NE(second->CreateVst3Instance(0), nullptr);
  second.reset();
  EXPECT_NE(NewInstance(), nullptr);
}

TEST_F(QuellbridgeVst3, IsOneSingleComponentObject) {
  auto inst = NewInstance();
  ASSERT_TRUE(inst);
  EXPECT_TRUE(inst->SingleComponent());
  TUID controllerId;
  EXPECT_EQ(inst->Component()->getControllerClassId(controllerId), kResultFalse);
  EXPECT_EQ(inst->Component()->getBusCount(kAudio, kInput), 2);
  EXPECT_EQ(inst->Component()->getBusCount(kAudio, kOutput), 1);
  EXPECT_EQ(inst->Component()->getBusCount(kEvent, kInput), 0);
  BusInfo main{}, aux{}, out{};
  ASSERT_EQ(inst->Component()->getBusInfo(kAudio, kInput, 0, main), kResultOk);
  ASSERT_EQ(inst->Component()->getBusInfo(kAudio, kInput, 1, aux), kResultOk);
  ASSERT_EQ(inst->Component()->getBusInfo(kAudio, kOutput, 0, out), kResultOk);
  EXPECT_EQ(main.busType, kMain);
  EXPECT_EQ(main.channelCount, 2);
  EXPECT_NE(main.flags & BusInfo::kDefaultActive, 0u);
  EXPECT_EQ(aux.busType, kAux);
  EXPECT_EQ(aux.channelCount, 2);
  EXPECT_EQ(aux.flags & BusInfo::kDefaultActive, 0u);
  EXPECT_EQ(out.channelCount, 2);
  EXPECT_NE(inst->Component()->getBusInfo(kAudio, kInput, 2, aux), kResultOk);
  EXPECT_EQ(inst->Processor()->canProcessSampleSize(kSample32), kResultTrue);
  EXPECT_EQ(inst->Processor()->canProcessSampleSize(kSample64), kResultTrue);
}

TEST_F(QuellbridgeVst3, PublishesTheFourteenParametersThenBypass) {
  auto inst = NewInstance();
  ASSERT_TRUE(inst);
  const auto params = inst->Params();
  ASSERT_EQ(params.size(), static_cast<size_t>(qb::kNumParams + 1));
  for (int i = 0; i < qb::kNumParams; ++i) {
    const qb::ParamSpec& s = qb::kParamSpecs[i];
    const qbhost::ParamInfo& p = params[static_cast<size_t>(i)];
    SCOPED_TRACE(s.name);
    EXPECT_EQ(p.id, static_cast<uint32_t>(i));
    EXPECT_EQ(p.name, s.name);
    EXPECT_EQ(p.label, s.label);
    EXPECT_DOUBLE_EQ(p.minValue, s.minValue);
    EXPECT_DOUBLE_EQ(p.maxValue, s.maxValue);
    EXPECT_NEAR(p.defaultValue, s.defaultValue, 1e-9);
    EXPECT_EQ(p.stepCount, s.isInt ? static_cast<int>(s.maxValue - s.minValue) : 0);
    EXPECT_TRUE(p.automatable);
    EXPECT_FALSE(p.isBypass);
    EXPECT_NEAR(inst->GetParam(p.id), s.defaultValue, 1e-9);
    ParameterInfo raw{};
    ASSERT_EQ(inst->Controller()->getParameterInfo(i, raw), kResultOk);
    EXPECT_EQ(raw.flags, ParameterInfo::kCanAutomate);
  }
  const qbhost::ParamInfo& bypass = params.back();
  EXPECT_EQ(bypass.id, kBypassId);
  EXPECT_EQ(bypass.name, "Bypass");
  EXPECT_EQ(bypass.stepCount, 1);
  EXPECT_EQ(bypass.minValue, 0.0);
  EXPECT_EQ(bypass.maxValue, 1.0);
  EXPECT_EQ(bypass.defaultValue, 0.0);
  ParameterInfo raw{};
  ASSERT_EQ(inst->Controller()->getParameterInfo(qb::kNumParams, raw), kResultOk);
  EXPECT_EQ(raw.flags, ParameterInfo::kCanAutomate | ParameterInfo::kIsList | ParameterInfo::kIsBypass);
  EXPECT_NE(inst->Controller()->getParameterInfo(qb::kNumParams + 1, raw), kResultOk);
  EXPECT_NE(inst->Controller()->getParameterInfo(-1, raw), kResultOk);
}

TEST_F(QuellbridgeVst3, ParameterTextRoundTrips) {
  auto inst = NewInstance();
  ASSERT_TRUE(inst);
  for (int i = 0; i < qb::kNumParams; ++i) {
    const qb::ParamSpec& s = qb::kParamSpecs[i];
    SCOPED_TRACE(s.name);
    for (double norm : {0.0, 0.1, 0.37, 0.5, 0.93, 1.0}) {
      const double plain = inst->Controller()->normalizedParamToPlain(static_cast<ParamID>(i), norm);
      ASSERT_GE(plain, s.minValue);
      ASSERT_LE(plain, s.maxValue);
      const std::string text = inst->ValueToText(static_cast<uint32_t>(i), plain);
      ASSERT_FALSE(text.empty());
      double back = -1e9;
      ASSERT_TRUE(inst->TextToValue(static_cast<uint32_t>(i), text, back)) << text;
      EXPECT_NEAR(back, plain, s.step / 2 + 1e-9) << text;
      EXPECT_EQ(inst->ValueToText(static_cast<uint32_t>(i), back), text);
      if (*s.label) {
        double withLabel = -1e9;
        EXPECT_TRUE(inst->TextToValue(static_cast<uint32_t>(i), text + " " + s.label, withLabel));
        EXPECT_NEAR(withLabel, plain, s.step / 2 + 1e-9);
      }
      EXPECT_NEAR(inst->Controller()->normalizedParamToPlain(
                      static_cast<ParamID>(i), inst->Controller()->plainParamToNormalized(static_cast<ParamID>(i), plain)),
                  plain, 1e-9);
    }
    double ignored = 0;
    EXPECT_FALSE(inst->TextToValue(static_cast<uint32_t>(i), "loud", ignored));
  }
  EXPECT_EQ(inst->ValueToText(qb::kFreqLow, 200.0), "200");
  EXPECT_EQ(inst->ValueToText(qb::kThreshLow, -20.0), "-20.0");
  EXPECT_EQ(inst->ValueToText(qb::kLinkSlot, 3.0), "3");
  EXPECT_EQ(inst->ValueToText(kBypassId, 0.0), "off");
  EXPECT_EQ(inst->ValueToText(kBypassId, 1.0), "on");
  double v = -1;
  EXPECT_TRUE(inst->TextToValue(kBypassId, "on", v));
  EXPECT_EQ(v, 1.0);
  EXPECT_TRUE(inst->TextToValue(kBypassId, "off", v));
  EXPECT_EQ(v, 0.0);
  EXPECT_FALSE(inst->TextToValue(kBypassId, "maybe", v));
  // Unknown ids are refused rather than answered with made-up values.
  String128 text{};
  EXPECT_NE(inst->Controller()->getParamStringByValue(999, 0.5, text), kResultOk);
}

TEST_F(QuellbridgeVst3, AcceptsOnlyTheDeclaredBusConfigurations) {
  using SA = SpeakerArrangement;
  const SA S = SpeakerArr::kStereo, M = SpeakerArr::kMono, F = SpeakerArr::k51;
  struct Case {
    std::vector<SA> ins, outs;
    bool accepted;
  };
  const Case cases[] = {
      {{S}, {S}, true},     {{S, S}, {S}, true},  {{S}, {M}, true},        {{S, S}, {M}, true},
      {{M}, {S}, false},    {{M}, {M}, false},    {{S, M}, {S}, false},    {{S, S, S}, {S}, false},
      {{S}, {S, S}, false}, {{}, {S}, false},     {{S}, {}, false},        {{F}, {S}, false},
      {{S}, {F}, false},    {{S, F}, {S}, false}, {{S, S}, {SA(0x7)}, false},
  };
  for (const Case& c : cases) {
    auto inst = NewInstance();
    ASSERT_TRUE(inst);
    std::vector<SA> ins = c.ins, outs = c.outs;
    const tresult r = inst->Processor()->setBusArrangements(ins.data(), static_cast<int32>(ins.size()), outs.data(),
                                                            static_cast<int32>(outs.size()));
    SCOPED_TRACE(::testing::Message() << "ins " << ins.size() << " outs " << outs.size());
    EXPECT_EQ(r == kResultTrue, c.accepted);
    SA out0 = 0;
    ASSERT_EQ(inst->Processor()->getBusArrangement(kOutput, 0, out0), kResultOk);
    EXPECT_EQ(out0, c.accepted ? outs[0] : S);  // a refusal leaves the arrangement alone
  }
  // Not while active.
  auto inst = NewInstance();
  ASSERT_TRUE(inst->Activate(48000, 256));
  SA ins[] = {S}, outs[] = {S};
  EXPECT_EQ(inst->Processor()->setBusArrangements(ins, 1, outs, 1), kResultFalse);
}

TEST_F(QuellbridgeVst3, ThirtyTwoAndSixtyFourBitProcessingAgree) {
  auto a = NewInstance();
  auto b = NewInstance();
  ASSERT_TRUE(a->Activate(48000, 512));
  b->SetSetupSampleSize(kSample32);
  ASSERT_TRUE(b->Activate(48000, 512));
  const auto out64 = Render<double>(*a, 12, 512);
  const auto out32 = Render<float>(*b, 12, 512);
  ASSERT_TRUE(vst3test::AllFinite(out64));
  ASSERT_TRUE(vst3test::AllFinite(out32));
  double maxDiff = 0;
  for (int c = 0; c < 2; ++c)
    for (size_t i = 0; i < out64.data[c].size(); ++i)
      maxDiff = std::max(maxDiff, std::fabs(out64.data[c][i] - static_cast<double>(out32.data[c][i])));
  EXPECT_LT(maxDiff, 1e-4);
}

TEST_F(QuellbridgeVst3, InPlaceBuffersGiveTheSameOutput) {
  auto a = NewInstance();
  auto b = NewInstance();
  ASSERT_TRUE(a->Activate(44100, 256));
  ASSERT_TRUE(b->Activate(44100, 256));
  const auto separate = Render<double>(*a, 20, 256);
  const auto inPlace = Render<double>(*b, 20, 256, true);
  EXPECT_EQ(separate.data, inPlace.data);
}

TEST_F(QuellbridgeVst3, SideChainAudioDoesNotReachTheOutput) {
  auto withSide = NewInstance();
  auto without = NewInstance();
  ASSERT_TRUE(withSide->Activate(48000, 256, true));
  ASSERT_TRUE(without->Activate(48000, 256, false));
  const auto a = Render<double>(*withSide, 16, 256, false, 4);  // channels 2, 3: a loud side signal
  const auto b = Render<double>(*without, 16, 256, false, 2);
  EXPECT_EQ(a.data, b.data);
}

TEST_F(QuellbridgeVst3, OddBlockShapesStaySafe) {
  // Blocks far larger than announced, single samples, a mono output, and a
  // parameter flush of zero samples.
  auto inst = NewInstance();
  ASSERT_TRUE(inst->Activate(96000, 64));
  for (int frames : {1, 63, 64, 65, 4096, 7}) {
    Channels<double> in(2, frames), out(2, frames);
    vst3test::FillSignal(in, 3);
    ASSERT_TRUE(inst->Process(in.ConstPtrs(), 2, out.Ptrs(), 2, frames));
    EXPECT_TRUE(vst3test::AllFinite(out)) << frames;
  }
  inst->SetParam(qb::kMakeup, 6.0);
  EXPECT_TRUE(inst->Flush());
  EXPECT_NEAR(inst->GetParam(qb::kMakeup), 6.0, 1e-9);

  auto mono = NewInstance();
  mono->SetMonoOutput(true);
  ASSERT_TRUE(mono->Activate(48000, 128));
  SpeakerArrangement out0 = 0;
  mono->Processor()->getBusArrangement(kOutput, 0, out0);
  EXPECT_EQ(out0, SpeakerArr::kMono);
  Channels<double> in(2, 300), out(1, 300);
  vst3test::FillSignal(in, 4);
  ASSERT_TRUE(mono->Process(in.ConstPtrs(), 2, out.Ptrs(), 1, 300));
  EXPECT_TRUE(vst3test::AllFinite(out));
}

TEST_F(QuellbridgeVst3, StateRoundTripsAndEndsWithTheBypassFlag) {
  auto a = NewInstance();
  a->SetParam(qb::kFreqLow, 321.0);
  a->SetParam(qb::kRatioHigh, 7.5);
  a->SetParam(qb::kLinkSlot, 3.0);
  a->SetParam(qb::kLP, 12345.0);
  std::vector<uint8_t> plainState;
  ASSERT_TRUE(a->SaveState(plainState));
  ASSERT_GE(plainState.size(), 4u);
  EXPECT_EQ(std::vector<uint8_t>(plainState.end() - 4, plainState.end()), (std::vector<uint8_t>{0, 0, 0, 0}));

  a->SetParam(kBypassId, 1.0);
  std::vector<uint8_t> saved;
  ASSERT_TRUE(a->SaveState(saved));
  ASSERT_EQ(saved.size(), plainState.size());
  EXPECT_EQ(std::vector<uint8_t>(saved.end() - 4, saved.end()), (std::vector<uint8_t>{1, 0, 0, 0}));
  EXPECT_TRUE(std::equal(saved.begin(), saved.end() - 4, plainState.begin()));

  for (int piece : {0, 1, 7}) {
    auto b = NewInstance();
    EXPECT_EQ(b->LoadStateInPieces(saved, piece), kResultOk);
    std::vector<uint8_t> again;
    ASSERT_TRUE(b->SaveState(again));
    EXPECT_EQ(again, saved) << "piece " << piece;
    EXPECT_EQ(b->GetParam(kBypassId), 1.0);
    EXPECT_NEAR(b->GetParam(qb::kRatioHigh), 7.5, 1e-9);
    EXPECT_EQ(b->Handler().CountRestarts(kParamValuesChanged), 1);
  }

  // Without the trailing int the parameters still load and bypass keeps its value.
  auto c = NewInstance();
  const std::vector<uint8_t> noBypass(saved.begin(), saved.end() - 4);
  EXPECT_TRUE(c->LoadState(noBypass));
  EXPECT_NEAR(c->GetParam(qb::kFreqLow), 321.0, 1e-9);
  EXPECT_EQ(c->GetParam(kBypassId), 0.0);
}

TEST_F(QuellbridgeVst3, GarbageAndTruncatedStatesAreHarmless) {
  auto source = NewInstance();
  source->SetParam(qb::kAttack, 55.5);
  std::vector<uint8_t> valid;
  ASSERT_TRUE(source->SaveState(valid));

  std::vector<std::vector<uint8_t>> streams;
  for (size_t n = 0; n < valid.size(); ++n) streams.emplace_back(valid.begin(), valid.begin() + static_cast<long>(n));
  std::mt19937 rng(7);
  for (size_t n : {1u, 3u, 50u, 500u, 5000u}) {
    std::vector<uint8_t> junk(n);
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    streams.push_back(junk);
  }
  streams.push_back(std::vector<uint8_t>(valid.size(), 0xFF));  // NaN doubles everywhere
  std::vector<uint8_t> longer = valid;
  longer.insert(longer.end(), 1000, 0xAB);
  streams.push_back(longer);

  auto inst = NewInstance();
  ASSERT_TRUE(inst->Activate(48000, 128));
  const auto params = inst->Params();
  for (const auto& bytes : streams) {
    inst->LoadStateInPieces(bytes, 3);
    for (const auto& p : params) {
      const double v = inst->GetParam(p.id);
      ASSERT_TRUE(std::isfinite(v)) << p.name;
      ASSERT_GE(v, p.minValue) << p.name;
      ASSERT_LE(v, p.maxValue) << p.name;
    }
    std::vector<uint8_t> after;
    ASSERT_TRUE(inst->SaveState(after));
    Channels<double> in(2, 128), out(2, 128);
    vst3test::FillSignal(in, 5);
    ASSERT_TRUE(inst->Process(in.ConstPtrs(), 2, out.Ptrs(), 2, 128));
    ASSERT_TRUE(vst3test::AllFinite(out));
  }
}

TEST_F(QuellbridgeVst3, ReportsItsLatencyAndAnnouncesChanges) {
  auto inst = NewInstance();
  EXPECT_EQ(inst->Latency(), 2048) << "twice the default transform before the first activation";
  // The true delay of the path: twice the transform length for the rate.
  const std::pair<double, int> rates[] = {{22050, 1024}, {44100, 2048}, {48000, 2048}, {96000, 4096},
                                          {192000, 8192}, {44100, 2048}};
  for (auto [rate, expected] : rates) {
    const int before = inst->Latency();
    const int notices = inst->LatencyChangeNotifications();
    ASSERT_TRUE(inst->Activate(rate, 512));
    EXPECT_EQ(inst->Latency(), expected) << rate;
    if (inst->Latency() != before) {
      EXPECT_GT(inst->LatencyChangeNotifications(), notices) << rate;
    }
    for (const auto& r : inst->Handler().Restarts()) EXPECT_EQ(r.thread, inst->MainThread());
  }
}

TEST_F(QuellbridgeVst3, ProcessAllocatesNothingAfterTheFirstBlock) {
  if (!qbtest::AllocationCountingAvailable()) GTEST_SKIP() << "allocation counting unavailable in this build";
  auto inst = NewInstance();
  ASSERT_TRUE(inst->Activate(48000, 256, true));
  Channels<double> in(4, 256), out(2, 256);
  Channels<float> inF(4, 1000), outF(2, 1000);  // also blocks larger than announced
  vst3test::FillSignal(in, 8);
  vst3test::FillSignal(inF, 8);
  ASSERT_TRUE(inst->Process(in.ConstPtrs(), 4, out.Ptrs(), 2, 256));
  ASSERT_TRUE(inst->ProcessFloat(inF.ConstPtrs(), 4, outF.Ptrs(), 2, 256));

  qbtest::AllocationScope scope;
  for (int block = 0; block < 40; ++block) {
    inst->AddAutomationPoint(static_cast<ParamID>(block % qb::kNumParams), 0, (block % 7) / 6.0);
    inst->AddAutomationPoint(static_cast<ParamID>(block % qb::kNumParams), 100, (block % 5) / 4.0);
    if (block % 10 == 5) inst->AddAutomationPoint(kBypassId, 0, (block / 10) % 2 ? 0.0 : 1.0);
    ASSERT_TRUE(inst->Process(in.ConstPtrs(), 4, out.Ptrs(), 2, 256));
    ASSERT_TRUE(inst->ProcessFloat(inF.ConstPtrs(), 4, outF.Ptrs(), 2, block % 2 ? 256 : 1000));
  }
  EXPECT_EQ(scope.Count(), 0u);
}

TEST_F(QuellbridgeVst3, TwoInstancesAreIndependent) {
  auto a = NewInstance();
  auto b = NewInstance();
  ASSERT_TRUE(a->Activate(48000, 256));
  ASSERT_TRUE(b->Activate(44100, 128));
  a->SetParam(qb::kMakeup, 12.0);
  EXPECT_NEAR(a->GetParam(qb::kMakeup), 12.0, 1e-9);
  EXPECT_NEAR(b->GetParam(qb::kMakeup), 0.0, 1e-9);
  EXPECT_TRUE(vst3test::AllFinite(Render<double>(*a, 4, 256)));
  EXPECT_TRUE(vst3test::AllFinite(Render<double>(*b, 4, 128)));
  std::vector<uint8_t> sa, sb;
  ASSERT_TRUE(a->SaveState(sa));
  ASSERT_TRUE(b->SaveState(sb));
  EXPECT_NE(sa, sb);
  a.reset();
  EXPECT_TRUE(vst3test::AllFinite(Render<double>(*b, 2, 128)));
}

TEST_F(QuellbridgeVst3, HostAutomationOnAnAudioThreadWhileTheMainThreadEdits) {
  auto inst = NewInstance();
  ASSERT_TRUE(inst->Activate(48000, 256));
  std::atomic<bool> finite{true};
  std::thread audio([&] {
    Channels<double> in(2, 256), out(2, 256);
    std::mt19937 rng(11);
    for (int block = 0; block < 300; ++block) {
      vst3test::FillSignal(in, static_cast<uint32_t>(block));
      for (int k = 0; k < 3; ++k)
        inst->AddAutomationPoint(static_cast<ParamID>(rng() % qb::kNumParams), static_cast<int32>(k * 50),
                                 (rng() % 1000) / 999.0);
      if (!inst->Process(in.ConstPtrs(), 2, out.Ptrs(), 2, 256) || !vst3test::AllFinite(out)) finite = false;
    }
  });
  std::mt19937 rng(13);
  std::vector<uint8_t> state;
  for (int i = 0; i < 300; ++i) {
    const auto id = static_cast<uint32_t>(rng() % qb::kNumParams);
    const qb::ParamSpec& s = qb::kParamSpecs[id];
    inst->SetParam(id, s.minValue + (s.maxValue - s.minValue) * ((rng() % 1000) / 999.0));
    const double v = inst->GetParam(id);
    EXPECT_GE(v, s.minValue);
    EXPECT_LE(v, s.maxValue);
    inst->ValueToText(id, v);
    if (i % 20 == 0) inst->SaveState(state);
    inst->Idle();
  }
  audio.join();
  EXPECT_TRUE(finite);
}

}  // namespace
