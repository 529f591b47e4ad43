// The CLAP wrapper through the probe module: audio paths, parameter events
// in both directions, latency announcements, the GUI extension, state
// streams and real-time safety.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "AllocationCounter.h"
#include "ClapTestSupport.h"
#include "ProbeClapHooks.h"
#include "ProbePlugin.h"

namespace {

using Kind = qbhost::ClapOutputEvent::Kind;

class ProbeClap : public ::testing::Test {
 protected:
  void SetUp() override {
    module = qbtest::LoadOnce(QB_PROBE_CLAP_PATH);
    ASSERT_TRUE(module);
    auto statsFn = reinterpret_cast<probe::ProbeStats* (*)()>(module->Symbol("qb_probe_stats"));
    editParam = reinterpret_cast<QbProbeEditParamFn>(module->Symbol("qb_probe_edit_param"));
    gesture = reinterpret_cast<QbProbeGestureFn>(module->Symbol("qb_probe_gesture"));
    setLatency = reinterpret_cast<QbProbeSetLatencyFn>(module->Symbol("qb_probe_set_latency"));
    requestResize = reinterpret_cast<QbProbeRequestResizeFn>(module->Symbol("qb_probe_request_resize"));
    ASSERT_TRUE(statsFn && editParam && gesture && setLatency && requestResize);
    stats = statsFn();
    instance = module->CreateClapInstance(0);
    ASSERT_TRUE(instance);
    plugin = instance->Plugin();
  }
  void TearDown() override {
    if (instance) qbtest::ExpectNoViolations(*instance);
  }

  // One stereo block of constant input through the host's 64-bit path.
  std::vector<double> ProcessConstant(double value, int frames) {
    std::vector<double> l(static_cast<size_t>(frames), value), r = l, ol(l.size(), -9.0), orr(l.size(), -9.0);
    const double* in[] = {l.data(), r.data()};
    double* out[] = {ol.data(), orr.data()};
    EXPECT_TRUE(instance->Process(in, 2, out, 2, frames));
    ol.insert(ol.end(), orr.begin(), orr.end());
    return ol;
  }

  qbhost::ClapModule* module = nullptr;
  probe::ProbeStats* stats = nullptr;
  QbProbeEditParamFn editParam = nullptr;
  QbProbeGestureFn gesture = nullptr;
  QbProbeSetLatencyFn setLatency = nullptr;
  QbProbeRequestResizeFn requestResize = nullptr;
  std::unique_ptr<qbhost::ClapInstance> instance;
  const clap_plugin_t* plugin = nullptr;
};

// ---- Audio ------------------------------------------------------------------

TEST_F(ProbeClap, ParameterEventAppliesFromTheFirstSampleOfItsBlock) {
  ASSERT_TRUE(instance->Activate(48000, 256));
  EXPECT_DOUBLE_EQ(stats->lastSampleRate.load(), 48000.0);
  EXPECT_EQ(stats->lastBlockSize.load(), 256);
  instance->SetParam(probe::kGain, 0.5);
  for (double v : ProcessConstant(1.0, 256)) ASSERT_EQ(v, 0.5);
}

TEST_F(ProbeClap, LongBlocksArriveInPiecesOfTheAnnouncedMaximum) {
  ASSERT_TRUE(instance->Activate(44100, 64));
  instance->SetParam(probe::kGain, 2.0);
  stats->maxFramesSeen.store(0);
  const int calls = stats->processCalls.load();
  const std::vector<double> l = qbtest::Sine(1000, 100, 44100, 0.4);
  std::vector<double> ol(1000), orr(1000);
  const double* in[] = {l.data(), l.data()};
  double* out[] = {ol.data(), orr.data()};
  ASSERT_TRUE(instance->Process(in, 2, out, 2, 1000));
  EXPECT_EQ(stats->maxFramesSeen.load(), 64);
  EXPECT_EQ(stats->processCalls.load() - calls, 16);  // 15 x 64 + 40
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(ol[i], 2.0 * l[i]) << i;
  EXPECT_EQ(orr, ol);
}

TEST_F(ProbeClap, EmptyBlockCallsNoProcessing) {
  ASSERT_TRUE(instance->Activate(48000, 128));
  const int calls = stats->processCalls.load();
  instance->SetParam(probe::kGain, 0.25);
  ProcessConstant(1.0, 0);
  EXPECT_EQ(stats->processCalls.load(), calls);
  EXPECT_DOUBLE_EQ(instance->GetParam(probe::kGain), 0.25);
}

TEST_F(ProbeClap, FloatBuffersAreConvertedBothWays) {
  ASSERT_TRUE(instance->Activate(48000, 512));
  instance->SetParam(probe::kGain, 0.5);
  std::vector<float> l(300), r(300), ol(300), orr(300);
  for (int i = 0; i < 300; ++i) {
    l[i] = 0.001f * static_cast<float>(i);
    r[i] = -l[i];
  }
  const float* in[] = {l.data(), r.data()};
  float* out[] = {ol.data(), orr.data()};
  ASSERT_TRUE(instance->ProcessFloat(in, 2, out, 2, 300));
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(ol[i], static_cast<float>(0.5 * static_cast<double>(l[i])));
    ASSERT_EQ(orr[i], -ol[i]);
  }
}

// Hand-built process calls for layouts the host class does not make.
struct RawPort {
  std::vector<std::vector<double>> d;
  std::vector<std::vector<float>> f;
  std::vector<double*> pd;
  std::vector<float*> pf;
  clap_audio_buffer_t buffer{};

  static RawPort Make(int channels, int frames, double value, bool float32) {
    RawPort p;
    for (int c = 0; c < channels; ++c) {
      if (float32)
        p.f.emplace_back(static_cast<size_t>(frames), static_cast<float>(value + c));
      else
        p.d.emplace_back(static_cast<size_t>(frames), value + c);
    }
    p.Bind();
    return p;
  }
  void Bind() {
    pd.clear();
    pf.clear();
    for (auto& c : d) pd.push_back(c.data());
    for (auto& c : f) pf.push_back(c.data());
    buffer = clap_audio_buffer_t{};
    buffer.channel_count = static_cast<uint32_t>(d.size() + f.size());
    buffer.data64 = pd.empty() ? nullptr : pd.data();
    buffer.data32 = pf.empty() ? nullptr : pf.data();
  }
  double At(int c, int i) const { return d.empty() ? f[c][i] : d[c][i]; }
};

clap_process_status RawProcess(const clap_plugin_t* plugin, clap_audio_buffer_t* ins, uint32_t nIns,
                               clap_audio_buffer_t* outs, uint32_t nOuts, uint32_t frames) {
  clap_process_t p{};
  p.steady_time = -1;
  p.frames_count = frames;
  p.audio_inputs = ins;
  p.audio_inputs_count = nIns;
  p.audio_outputs = outs;
  p.audio_outputs_count = nOuts;
  return plugin->process(plugin, &p);  // no event lists at all
}

TEST_F(ProbeClap, InPlaceBuffersWorkInBothSampleSizes) {
  instance->SetParam(probe::kGain, 0.5);
  ASSERT_TRUE(instance->Activate(48000, 64));
  for (bool float32 : {false, true}) {
    RawPort io = RawPort::Make(2, 100, 0.8, float32);
    EXPECT_EQ(RawProcess(plugin, &io.buffer, 1, &io.buffer, 1, 100), CLAP_PROCESS_CONTINUE);
    for (int i = 0; i < 100; ++i) {
      ASSERT_NEAR(io.At(0, i), 0.4, 1e-7) << float32;
      ASSERT_NEAR(io.At(1, i), 0.9, 1e-7) << float32;
    }
  }
}

TEST_F(ProbeClap, MissingAndOddPortsReadSilenceAndWriteNothingStray) {
  ASSERT_TRUE(instance->Activate(48000, 64));
  struct Case {
    const char* what;
    int inPorts;           // host input ports given
    int inChannels;        // channels on input port 0 (-1: port without data)
    int outChannels;       // channels on output port 0
    int expectInChans;     // what the plug-in is told
    int expectOutChans;
  } cases[] = {
      {"no input ports", 0, 0, 2, 0, 2},     {"mono input", 1, 1, 2, 1, 2},
      {"input without data", 1, -1, 2, 0, 2}, {"mono output", 1, 2, 1, 2, 1},
      {"extra output channel", 1, 2, 3, 2, 2}, {"both ports", 2, 2, 2, 4, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawPort in0 = RawPort::Make(std::max(c.inChannels, 0), 50, 0.25, false);
    if (c.inChannels < 0) {
      in0.buffer.channel_count = 2;  // claims channels, gives no pointers
    }
    RawPort in1 = RawPort::Make(2, 50, 0.5, false);
    clap_audio_buffer_t ins[2] = {in0.buffer, in1.buffer};
    RawPort out = RawPort::Make(c.outChannels, 50, 7.0, false);
    ASSERT_EQ(RawProcess(plugin, c.inPorts ? ins : nullptr, static_cast<uint32_t>(c.inPorts), &out.buffer, 1, 50),
              CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(stats->lastInChans.load(), c.expectInChans);
    EXPECT_EQ(stats->lastOutChans.load(), c.expectOutChans);
    for (int ch = 0; ch < c.outChannels; ++ch) {
      const double expected = ch >= 2 ? 0.0 : (ch < c.inChannels && c.inPorts ? 0.25 + ch : 0.0);
      for (int i = 0; i < 50; ++i) ASSERT_EQ(out.At(ch, i), expected) << "channel " << ch;
    }
  }
}

TEST_F(ProbeClap, ProcessBeforeActivateFailsWithSilence) {
  RawPort in = RawPort::Make(2, 32, 0.5, false);
  RawPort out = RawPort::Make(2, 32, 3.0, false);
  EXPECT_EQ(RawProcess(plugin, &in.buffer, 1, &out.buffer, 1, 32), CLAP_PROCESS_ERROR);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(out.At(1, i), 0.0);
}

TEST_F(ProbeClap, OnlyOneActivationAtATimeAndSaneRates) {
  EXPECT_FALSE(plugin->activate(plugin, 0.0, 1, 256));
  EXPECT_FALSE(plugin->activate(plugin, -44100.0, 1, 256));
  EXPECT_FALSE(plugin->activate(plugin, std::nan(""), 1, 256));
  ASSERT_TRUE(plugin->activate(plugin, 22050, 1, 0));  // a zero maximum still gives a usable size
  EXPECT_EQ(stats->lastBlockSize.load(), 8192);
  plugin->deactivate(plugin);
  ASSERT_TRUE(instance->Activate(96000, 1u << 30));  // huge maxima are capped, not allocated
  EXPECT_EQ(stats->lastBlockSize.load(), 8192);
  EXPECT_FALSE(plugin->activate(plugin, 48000, 1, 256));
  EXPECT_DOUBLE_EQ(stats->lastSampleRate.load(), 96000.0);
}

// ---- Latency ----------------------------------------------------------------

TEST_F(ProbeClap, LatencyChangeInsideActivateIsAnnouncedThere) {
  EXPECT_EQ(instance->Latency(), 0);
  instance->SetParam(probe::kLatency, 256);  // OnReset picks it up
  ASSERT_TRUE(instance->Activate(48000, 128));
  EXPECT_EQ(instance->Latency(), 256);
  EXPECT_EQ(instance->LatencyChangeNotifications(), 1);
  instance->Deactivate();
  ASSERT_TRUE(instance->Activate(48000, 128));  // unchanged: no announcement
  EXPECT_EQ(instance->LatencyChangeNotifications(), 1);
  EXPECT_EQ(instance->Record().restartRequests.load(), 0);
}

TEST_F(ProbeClap, LatencyChangeWhileActiveAsksForARestart) {
  ASSERT_TRUE(instance->Activate(48000, 128));
  instance->SetParam(probe::kLatency, 512);  // what the next OnReset will apply
  ProcessConstant(0.0, 16);
  setLatency(plugin, 512);  // the plug-in changes its latency while active (main thread)
  EXPECT_EQ(instance->Record().restartRequests.load(), 1);
  EXPECT_EQ(instance->LatencyChangeNotifications(), 0);

  std::thread audio([&] { setLatency(plugin, 640); });  // request_restart is thread-safe
  audio.join();
  EXPECT_EQ(instance->Record().restartRequests.load(), 2);

  // The host restarts: the new value is announced inside the next activate.
  instance->Deactivate();
  ASSERT_TRUE(instance->Activate(48000, 128));
  EXPECT_EQ(instance->Latency(), 512);
  EXPECT_EQ(instance->LatencyChangeNotifications(), 1);
}

TEST_F(ProbeClap, LatencyChangeWhileInactiveWaitsForActivation) {
  setLatency(plugin, 300);
  EXPECT_EQ(instance->Record().restartRequests.load(), 0);
  EXPECT_EQ(instance->LatencyChangeNotifications(), 0);
  instance->SetParam(probe::kLatency, 300);
  ASSERT_TRUE(instance->Activate(48000, 128));
  EXPECT_EQ(instance->LatencyChangeNotifications(), 1);
}

// ---- Parameter changes made by the plug-in ----------------------------------

struct Ev {
  Kind kind;
  uint32_t id;
  double value;
  bool operator==(const Ev& o) const { return kind == o.kind && id == o.id && value == o.value; }
};
std::ostream& operator<<(std::ostream& os, const Ev& e) {
  const char* k = e.kind == Kind::Value ? "value" : e.kind == Kind::GestureBegin ? "begin" : "end";
  return os << k << "(" << e.id << (e.kind == Kind::Value ? ", " + std::to_string(e.value) : "") << ")";
}
std::vector<Ev> Events(qbhost::ClapInstance& instance) {
  std::vector<Ev> out;
  for (const qbhost::ClapOutputEvent& e : instance.TakeOutputEvents()) out.push_back({e.kind, e.paramId, e.value});
  return out;
}

TEST_F(ProbeClap, EditsWhileProcessingGoOutWithTheNextBlock) {
  ASSERT_TRUE(instance->Activate(48000, 64));
  editParam(plugin, probe::kGain, 0.5, 1);
  EXPECT_EQ(instance->Record().flushRequests.load(), 0);  // processing: no flush needed
  EXPECT_TRUE(Events(*instance).empty());
  ProcessConstant(1.0, 64);
  EXPECT_EQ(Events(*instance), (std::vector<Ev>{{Kind::GestureBegin, 0, 0}, {Kind::Value, 0, 0.5},
                                                {Kind::GestureEnd, 0, 0}}));
  ProcessConstant(1.0, 64);
  EXPECT_TRUE(Events(*instance).empty());  // reported once

  // A gesture spanning blocks, with edits in between.
  gesture(plugin, probe::kMode, 1);
  ProcessConstant(1.0, 64);
  editParam(plugin, probe::kMode, 2, 0);
  ProcessConstant(1.0, 64);
  editParam(plugin, probe::kMode, 3, 0);
  gesture(plugin, probe::kMode, 0);
  ProcessConstant(1.0, 64);
  EXPECT_EQ(Events(*instance), (std::vector<Ev>{{Kind::GestureBegin, 1, 0}, {Kind::Value, 1, 2},
                                                {Kind::Value, 1, 3}, {Kind::GestureEnd, 1, 0}}));

  // A gesture that ends and a new one that begins between two blocks.
  gesture(plugin, probe::kGain, 1);
  ProcessConstant(1.0, 64);
  gesture(plugin, probe::kGain, 0);
  gesture(plugin, probe::kGain, 1);
  editParam(plugin, probe::kGain, 1.5, 0);
  ProcessConstant(1.0, 64);
  gesture(plugin, probe::kGain, 0);
  ProcessConstant(1.0, 64);
  EXPECT_EQ(Events(*instance),
            (std::vector<Ev>{{Kind::GestureBegin, 0, 0}, {Kind::GestureEnd, 0, 0}, {Kind::GestureBegin, 0, 0},
                             {Kind::Value, 0, 1.5}, {Kind::GestureEnd, 0, 0}}));
}

TEST_F(ProbeClap, EditsWhileIdleAskForAFlush) {
  editParam(plugin, probe::kMode, 2, 1);
  EXPECT_GE(instance->Record().flushRequests.load(), 1);
  instance->Idle();  // the host answers with params.flush
  EXPECT_EQ(Events(*instance),
            (std::vector<Ev>{{Kind::GestureBegin, 1, 0}, {Kind::Value, 1, 2}, {Kind::GestureEnd, 1, 0}}));
  instance->Idle();
  EXPECT_TRUE(Events(*instance).empty());

  // Changes left when processing stops are flushed after deactivation.
  ASSERT_TRUE(instance->Activate(48000, 64));
  const int requests = instance->Record().flushRequests.load();
  editParam(plugin, probe::kGain, 0.75, 0);
  instance->Deactivate();
  EXPECT_EQ(instance->Record().flushRequests.load(), requests + 1);
  instance->Idle();
  EXPECT_EQ(Events(*instance), (std::vector<Ev>{{Kind::Value, 0, 0.75}}));
}

TEST_F(ProbeClap, HostChangesAreNotEchoed) {
  instance->SetParam(probe::kGain, 1.25);
  ASSERT_TRUE(instance->Activate(48000, 64));
  instance->SetParam(probe::kMode, 3);
  ProcessConstant(1.0, 64);
  EXPECT_TRUE(Events(*instance).empty());
  EXPECT_DOUBLE_EQ(instance->GetParam(probe::kMode), 3);
  EXPECT_EQ(instance->Record().flushRequests.load(), 0);
}

TEST_F(ProbeClap, ChangesWaitWhenTheHostGivesNoOutputList) {
  ASSERT_TRUE(instance->Activate(48000, 64));
  editParam(plugin, probe::kGain, 0.5, 0);
  RawPort in = RawPort::Make(2, 16, 0.5, false), out = RawPort::Make(2, 16, 0.0, false);
  ASSERT_EQ(RawProcess(plugin, &in.buffer, 1, &out.buffer, 1, 16), CLAP_PROCESS_CONTINUE);
  ProcessConstant(1.0, 16);
  EXPECT_EQ(Events(*instance), (std::vector<Ev>{{Kind::Value, 0, 0.5}}));
}

// ---- GUI ----------------------------------------------------------------------

TEST_F(ProbeClap, GuiEmbedsIntoAnX11ParentOnly) {
  const clap_plugin_gui_t* gui = instance->GuiExt();
  ASSERT_TRUE(gui);
  EXPECT_TRUE(gui->is_api_supported(plugin, "x11", false));
  EXPECT_FALSE(gui->is_api_supported(plugin, "x11", true));
  EXPECT_FALSE(gui->is_api_supported(plugin, "wayland", false));
  EXPECT_FALSE(gui->is_api_supported(plugin, nullptr, false));
  EXPECT_FALSE(gui->create(plugin, "x11", true));
  EXPECT_FALSE(gui->create(plugin, "cocoa", false));
  clap_window_t window{};
  window.api = "x11";
  window.x11 = 0x2a0001;
  EXPECT_FALSE(gui->set_parent(plugin, &window));  // not created yet

  ASSERT_TRUE(gui->create(plugin, "x11", false));
  EXPECT_FALSE(gui->set_scale(plugin, 2.0));
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(gui->get_size(plugin, &w, &h));
  EXPECT_EQ(w, 400u);
  EXPECT_EQ(h, 300u);
  EXPECT_TRUE(gui->can_resize(plugin));

  EXPECT_FALSE(gui->set_parent(plugin, nullptr));
  clap_window_t noWindow{};
  noWindow.api = "x11";
  EXPECT_FALSE(gui->set_parent(plugin, &noWindow));
  clap_window_t wrongApi = window;
  wrongApi.api = "win32";
  EXPECT_FALSE(gui->set_parent(plugin, &wrongApi));
  EXPECT_EQ(stats->windowsOpen.load(), 0);

  ASSERT_TRUE(gui->set_parent(plugin, &window));
  EXPECT_EQ(stats->lastParentWindow.load(), 0x2a0001ul);
  EXPECT_EQ(stats->windowsOpen.load(), 1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(gui->show(plugin));
    EXPECT_TRUE(gui->hide(plugin));
  }
  gui->destroy(plugin);
  EXPECT_EQ(stats->windowsOpen.load(), 0);
  EXPECT_FALSE(gui->show(plugin));
}

TEST_F(ProbeClap, GuiSizesStayWithinTheLimits) {
  const clap_plugin_gui_t* gui = instance->GuiExt();
  ASSERT_TRUE(gui);
  ASSERT_TRUE(gui->create(plugin, "x11", false));
  struct Case {
    uint32_t w, h, expectW, expectH;
  } cases[] = {{10, 10, 200, 100}, {5000, 5000, 800, 600}, {640, 480, 640, 480}, {0, 0, 200, 100}, {801, 99, 800, 100}};
  for (const Case& c : cases) {
    uint32_t w = c.w, h = c.h;
    ASSERT_TRUE(gui->adjust_size(plugin, &w, &h));
    EXPECT_EQ(w, c.expectW);
    EXPECT_EQ(h, c.expectH);
    ASSERT_TRUE(gui->set_size(plugin, c.w, c.h));
    EXPECT_EQ(stats->parentWidth.load(), static_cast<int>(c.expectW));
    EXPECT_EQ(stats->parentHeight.load(), static_cast<int>(c.expectH));
    ASSERT_TRUE(gui->get_size(plugin, &w, &h));
    EXPECT_EQ(w, c.expectW);
    EXPECT_EQ(h, c.expectH);
  }
  clap_gui_resize_hints_t hints{};
  ASSERT_TRUE(gui->get_resize_hints(plugin, &hints));
  EXPECT_TRUE(hints.can_resize_horizontally && hints.can_resize_vertically);

  // The editor's own resize request goes to the host and is remembered.
  EXPECT_EQ(requestResize(plugin, 500, 350), 1);
  EXPECT_EQ(instance->Record().resizeRequests.load(), 1);
  EXPECT_EQ(instance->Record().lastResizeWidth.load(), 500);
  EXPECT_EQ(instance->Record().lastResizeHeight.load(), 350);
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(gui->get_size(plugin, &w, &h));
  EXPECT_EQ(w, 500u);
  EXPECT_EQ(h, 350u);
}

TEST_F(ProbeClap, DestroyingTheInstanceClosesAnOpenEditor) {
  const clap_plugin_gui_t* gui = instance->GuiExt();
  ASSERT_TRUE(gui && gui->create(plugin, "x11", false));
  clap_window_t window{};
  window.api = "x11";
  window.x11 = 77;
  ASSERT_TRUE(gui->set_parent(plugin, &window));
  ASSERT_TRUE(gui->set_parent(plugin, &window));  // re-parenting reopens, never leaks
  EXPECT_EQ(stats->windowsOpen.load(), 1);
  const int instances = stats->instances.load();
  instance.reset();
  EXPECT_EQ(stats->windowsOpen.load(), 0);
  EXPECT_EQ(stats->instances.load(), instances - 1);
}

// ---- State ----------------------------------------------------------------------

TEST_F(ProbeClap, StateRoundTripsThroughStreamsOfAnyPieceSize) {
  instance->SetParam(probe::kGain, 1.37);
  instance->SetParam(probe::kMode, 2);
  instance->SetParam(probe::kLatency, 99);
  std::vector<uint8_t> whole;
  ASSERT_TRUE(instance->SaveState(whole));
  ASSERT_EQ(whole.size(), 3 * sizeof(double));  // the plug-in's chunk and nothing else
  double first;
  std::memcpy(&first, whole.data(), sizeof first);
  EXPECT_DOUBLE_EQ(first, 1.37);
  for (size_t piece : {size_t{1}, size_t{5}, size_t{8}}) {
    instance->SetStreamPieceSize(piece);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(instance->SaveState(bytes));
    EXPECT_EQ(bytes, whole);
    auto other = module->CreateClapInstance(0);
    other->SetStreamPieceSize(piece);
    ASSERT_TRUE(other->LoadState(bytes));
    EXPECT_DOUBLE_EQ(other->GetParam(probe::kGain), 1.37);
    EXPECT_DOUBLE_EQ(other->GetParam(probe::kMode), 2);
    EXPECT_DOUBLE_EQ(other->GetParam(probe::kLatency), 99);
    EXPECT_EQ(other->Record().rescans.load(), 1);
  }
}

TEST_F(ProbeClap, GarbageStateLeavesEveryParameterInRange) {
  ASSERT_TRUE(instance->Activate(48000, 64));
  const std::vector<qbhost::ParamInfo> params = instance->Params();
  for (size_t length : {0, 1, 7, 8, 23, 24, 25, 100, 5000}) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      std::vector<uint8_t> bytes(length);
      uint32_t s = seed * 2654435761u;
      for (uint8_t& b : bytes) b = static_cast<uint8_t>((s = s * 1664525u + 1013904223u) >> 24);
      const bool ok = instance->LoadState(bytes);
      EXPECT_EQ(ok, length >= 24) << length;
      for (const qbhost::ParamInfo& p : params) {
        const double v = instance->GetParam(p.id);
        ASSERT_TRUE(v >= p.minValue && v <= p.maxValue) << p.name << " = " << v << " after " << length;
      }
      for (double x : ProcessConstant(0.5, 64)) ASSERT_TRUE(std::isfinite(x));
    }
  }
}

TEST_F(ProbeClap, FailingStreamsAreReportedNotTrusted) {
  const clap_plugin_state_t* state = instance->StateExt();
  ASSERT_TRUE(state);
  struct Stream {
    int64_t result;  // what every call answers
    int calls = 0;
  };
  auto write = [](const clap_ostream_t* s, const void*, uint64_t) -> int64_t {
    auto* st = static_cast<Stream*>(s->ctx);
    return ++st->calls > 100 ? -1 : st->result;
  };
  auto read = [](const clap_istream_t* s, void* buffer, uint64_t size) -> int64_t {
    auto* st = static_cast<Stream*>(s->ctx);
    if (++st->calls > 100) return 0;
    if (st->result > 0) std::memset(buffer, 0, static_cast<size_t>(size));
    return st->result > 0 ? static_cast<int64_t>(size) + st->result : st->result;
  };
  for (int64_t answer : {int64_t{-1}, int64_t{0}, int64_t{1000000}}) {
    SCOPED_TRACE(answer);
    Stream s{answer};
    clap_ostream_t out{&s, write};
    EXPECT_FALSE(state->save(plugin, &out));
    EXPECT_LE(s.calls, 1);  // gives up at once instead of looping
  }
  for (int64_t answer : {int64_t{-1}, int64_t{1}}) {  // error, or more than was asked for
    SCOPED_TRACE(answer);
    Stream s{answer};
    clap_istream_t in{&s, read};
    EXPECT_FALSE(state->load(plugin, &in));
  }
  EXPECT_FALSE(state->save(plugin, nullptr));
  EXPECT_FALSE(state->load(plugin, nullptr));
  EXPECT_DOUBLE_EQ(instance->GetParam(probe::kGain), 1.0);
}

// ---- Real-time safety -----------------------------------------------------------

TEST_F(ProbeClap, ProcessingNeverAllocates) {
  if (!qbtest::AllocationCountingAvailable()) GTEST_SKIP() << "allocation counting unavailable in this build";
  ASSERT_TRUE(instance->Activate(48000, 128));
  std::vector<double> l(1000, 0.5), r(1000, -0.5), ol(1000), orr(1000);
  std::vector<float> fl(1000, 0.5f), fr(1000, -0.5f), fol(1000), forr(1000);
  const double* in[] = {l.data(), r.data(), l.data(), r.data()};
  double* out[] = {ol.data(), orr.data()};
  const float* fin[] = {fl.data(), fr.data()};
  float* fout[] = {fol.data(), forr.data()};
  ASSERT_TRUE(instance->Process(in, 2, out, 2, 128));  // first call on this thread
  for (int round = 0; round < 20; ++round) instance->SetParam(probe::kGain, 0.01 * round);
  size_t allocations = 0;
  {
    qbtest::AllocationScope scope;
    for (int round = 0; round < 20; ++round) {
      editParam(plugin, probe::kMode, round % 4, round % 2);
      instance->Process(in, 4, out, 2, 1000);  // pieces of 128
      instance->ProcessFloat(fin, 2, fout, 1, 77);
      instance->Process(in, 2, out, 2, 0);
    }
    allocations = scope.Count();
  }
  EXPECT_EQ(allocations, 0u);
  EXPECT_FALSE(Events(*instance).empty());
}

}  // namespace
