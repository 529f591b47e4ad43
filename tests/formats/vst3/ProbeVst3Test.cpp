// The VST3 wrapper through the probe plug-in: behaviour the product cannot
// show (exact audio of a known plug-in, counters, editor hooks, latency
// changes, edits the plug-in makes itself from its own threads).

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <thread>

#include "HostStream.h"
#include "ProbePlugin.h"
#include "Vst3Host.h"
#include "Vst3TestAudio.h"

using namespace Steinberg;
using namespace Steinberg::Vst;
using vst3test::Channels;

namespace {

constexpr ParamID kBypassId = 65536;

// The probe module's test hooks (they act on its newest instance).
struct ProbeHooks {
  probe::ProbeStats* (*stats)() = nullptr;
  void (*edit)(int, double) = nullptr;
  void (*beginGesture)(int) = nullptr;
  void (*endGesture)(int) = nullptr;
  void (*setLatency)(int) = nullptr;
  bool (*requestResize)(int, int) = nullptr;
};

class ProbeVst3 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    sModule = qbhost::OpenVst3Module(QB_PROBE_VST3_PATH, error).release();
    ASSERT_NE(sModule, nullptr) << error;
    void* h = sModule->LibraryHandle();
    sHooks.stats = reinterpret_cast<probe::ProbeStats* (*)()>(dlsym(h, "qb_probe_stats"));
    sHooks.edit = reinterpret_cast<void (*)(int, double)>(dlsym(h, "qb_probe_edit"));
    sHooks.beginGesture = reinterpret_cast<void (*)(int)>(dlsym(h, "qb_probe_begin_gesture"));
    sHooks.endGesture = reinterpret_cast<void (*)(int)>(dlsym(h, "qb_probe_end_gesture"));
    sHooks.setLatency = reinterpret_cast<void (*)(int)>(dlsym(h, "qb_probe_set_latency"));
    sHooks.requestResize = reinterpret_cast<bool (*)(int, int)>(dlsym(h, "qb_probe_request_resize"));
    ASSERT_TRUE(sHooks.stats && sHooks.edit && sHooks.beginGesture && sHooks.endGesture && sHooks.setLatency &&
                sHooks.requestResize);
  }
  static void TearDownTestSuite() {
    delete sModule;
    sModule = nullptr;
  }
  std::unique_ptr<qbhost::Vst3Instance> NewInstance(const qbhost::Vst3HostOptions& options = {}) {
    auto instance = sModule->CreateVst3Instance(0, options);
    EXPECT_NE(instance, nullptr);
    return instance;
  }
  static probe::ProbeStats& Stats() { return *sHooks.stats(); }
  static ProbeHooks sHooks;
  static qbhost::Vst3Module* sModule;
};
qbhost::Vst3Module* ProbeVst3::sModule = nullptr;
ProbeHooks ProbeVst3::sHooks;

// Runs one function on a thread of its own ("the editor thread").
template <typename F>
void OnOtherThread(F f) {
  std::thread t(f);
  t.join();
}

TEST_F(ProbeVst3, ProcessesExactlyWithEveryBufferShape) {
  // Gain 2 applied by the probe; blocks larger than announced arrive in
  // pieces no larger than announced; in-place and 32-bit buffers work.
  struct Case {
    int announced, frames;
    bool inPlace, is32;
  };
  for (const Case c : {Case{64, 1000, false, false}, Case{64, 1000, true, false}, Case{256, 256, false, true},
                       Case{100, 777, true, true}, Case{512, 1, false, false}}) {
    SCOPED_TRACE(::testing::Message() << c.announced << "/" << c.frames << (c.inPlace ? " in-place" : "")
                                      << (c.is32 ? " 32-bit" : ""));
    auto inst = NewInstance();
    inst->SetParam(probe::kGain, 2.0);
    if (c.is32) inst->SetSetupSampleSize(kSample32);
    ASSERT_TRUE(inst->Activate(44100, c.announced));
    Stats().maxFramesSeen = 0;
    if (c.is32) {
      Channels<float> in(2, c.frames), out(2, c.frames);
      vst3test::FillSignal(in, 2);
      const Channels<float> expected = in;
      ASSERT_TRUE(inst->ProcessFloat(in.ConstPtrs(), 2, c.inPlace ? in.Ptrs() : out.Ptrs(), 2, c.frames));
      const auto& got = c.inPlace ? in : out;
      for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < c.frames; ++i) ASSERT_FLOAT_EQ(got.data[ch][i], 2.0f * expected.data[ch][i]);
    } else {
      Channels<double> in(2, c.frames), out(2, c.frames);
      vst3test::FillSignal(in, 2);
      const Channels<double> expected = in;
      ASSERT_TRUE(inst->Process(in.ConstPtrs(), 2, c.inPlace ? in.Ptrs() : out.Ptrs(), 2, c.frames));
      const auto& got = c.inPlace ? in : out;
      for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < c.frames; ++i) ASSERT_DOUBLE_EQ(got.data[ch][i], 2.0 * expected.data[ch][i]);
    }
    EXPECT_LE(Stats().maxFramesSeen.load(), c.announced);
    EXPECT_GT(Stats().maxFramesSeen.load(), 0);
  }
}

TEST_F(ProbeVst3, ResetsWithRateAndBlockSizeBeforeTheFirstBlock) {
  auto inst = NewInstance();
  const int resets = Stats().resets;
  const int calls = Stats().processCalls;
  ASSERT_TRUE(inst->Activate(96000, 128));
  EXPECT_GT(Stats().resets.load(), resets);
  EXPECT_EQ(Stats().lastSampleRate.load(), 96000.0);
  EXPECT_EQ(Stats().lastBlockSize.load(), 128);
  EXPECT_EQ(Stats().processCalls.load(), calls);

  // A host that processes before activating gets the dry signal, not an
  // unprepared plug-in.
  auto early = NewInstance();
  ProcessSetup setup{kRealtime, kSample64, 64, 48000.0};
  ASSERT_EQ(early->Processor()->setupProcessing(setup), kResultOk);
  early->SetParam(probe::kGain, 0.5);
  Channels<double> in(2, 64), out(2, 64);
  vst3test::FillSignal(in, 3);
  double* inPtrs[2] = {in.data[0].data(), in.data[1].data()};
  AudioBusBuffers inBus, outBus;
  inBus.numChannels = 2;
  inBus.channelBuffers64 = inPtrs;
  outBus.numChannels = 2;
  outBus.channelBuffers64 = out.ptrs.data();
  ProcessData data;
  data.symbolicSampleSize = kSample64;
  data.numSamples = 64;
  data.numInputs = 1;
  data.numOutputs = 1;
  data.inputs = &inBus;
  data.outputs = &outBus;
  const int before = Stats().processCalls;
  EXPECT_EQ(early->Processor()->process(data), kResultOk);
  EXPECT_EQ(Stats().processCalls.load(), before);
  EXPECT_EQ(out.data, in.data);
}

TEST_F(ProbeVst3, TellsThePlugInWhichChannelsAreConnected) {
  struct Case {
    bool mono, sideChain;
    int ins, outs;
  };
  for (const Case c : {Case{false, false, 2, 2}, Case{false, true, 4, 2}, Case{true, false, 2, 1}, Case{true, true, 4, 1}}) {
    auto inst = NewInstance();
    inst->SetMonoOutput(c.mono);
    ASSERT_TRUE(inst->Activate(48000, 64, c.sideChain));
    Channels<double> in(4, 64), out(2, 64);
    vst3test::FillSignal(in, 1);
    ASSERT_TRUE(inst->Process(in.ConstPtrs(), c.sideChain ? 4 : 2, out.Ptrs(), c.mono ? 1 : 2, 64));
    EXPECT_EQ(Stats().lastInChans.load(), c.ins);
    EXPECT_EQ(Stats().lastOutChans.load(), c.outs);
    for (int i = 0; i < 64; ++i) ASSERT_DOUBLE_EQ(out.data[0][i], in.data[0][i]);
  }
}

TEST_F(ProbeVst3, AppliesTheLastPointOfEachQueueAndFlushesWithoutAudio) {
  auto inst = NewInstance();
  ASSERT_TRUE(inst->Activate(48000, 32));
  inst->AddAutomationPoint(probe::kGain, 0, 0.25);
  inst->AddAutomationPoint(probe::kGain, 20, 0.75);  // plain 1.5
  inst->AddAutomationPoint(probe::kMode, 5, 1.0);    // plain 3
  const int calls = Stats().processCalls;
  ASSERT_TRUE(inst->Flush());
  EXPECT_EQ(Stats().processCalls.load(), calls);
  EXPECT_DOUBLE_EQ(inst->GetParam(probe::kGain), 1.5);
  EXPECT_DOUBLE_EQ(inst->GetParam(probe::kMode), 3.0);

  Channels<double> in(2, 32), out(2, 32);
  vst3test::FillSignal(in, 9);
  ASSERT_TRUE(inst->Process(in.ConstPtrs(), 2, out.Ptrs(), 2, 32));
  EXPECT_DOUBLE_EQ(out.data[1][7], 1.5 * in.data[1][7]);
  // Host changes are never echoed back as edits.
  inst->Idle();
  EXPECT_TRUE(inst->Handler().Edits().empty());
}

TEST_F(ProbeVst3, BypassCopiesInputAndSkipsTheProcessBlock) {
  for (bool mono : {false, true}) {
    auto inst = NewInstance();
    inst->SetMonoOutput(mono);
    inst->SetParam(probe::kGain, 2.0);
    ASSERT_TRUE(inst->Activate(48000, 128));
    inst->AddAutomationPoint(kBypassId, 0, 1.0);
    Channels<double> in(2, 128), out(2, 128);
    vst3test::FillSignal(in, 4);
    const int calls = Stats().processCalls;
    ASSERT_TRUE(inst->Process(in.ConstPtrs(), 2, out.Ptrs(), mono ? 1 : 2, 128));
    EXPECT_EQ(Stats().processCalls.load(), calls);
    EXPECT_EQ(out.data[0], in.data[0]);
    if (!mono) {
      EXPECT_EQ(out.data[1], in.data[1]);
    }
    EXPECT_EQ(inst->GetParam(kBypassId), 1.0);

    inst->SetParam(kBypassId, 0.0);  // from the host's controller side and the next block
    ASSERT_TRUE(inst->Process(in.ConstPtrs(), 2, out.Ptrs(), mono ? 1 : 2, 128));
    EXPECT_EQ(Stats().processCalls.load(), calls + 1);
    EXPECT_DOUBLE_EQ(out.data[0][5], 2.0 * in.data[0][5]);
  }
}

TEST_F(ProbeVst3, LatencyChangesAreAnnouncedOnTheMainThread) {
  auto inst = NewInstance();
  EXPECT_EQ(inst->Latency(), 0);
  inst->SetParam(probe::kLatency, 512);  // the probe sets it in OnReset
  ASSERT_TRUE(inst->Activate(48000, 256));
  EXPECT_EQ(inst->Latency(), 512);
  EXPECT_EQ(inst->LatencyChangeNotifications(), 1);
  ASSERT_TRUE(inst->Activate(48000, 256));  // unchanged: no new notice
  EXPECT_EQ(inst->LatencyChangeNotifications(), 1);

  // Reported from another thread, the notice waits for the main thread.
  OnOtherThread([] { sHooks.setLatency(64); });
  EXPECT_EQ(inst->LatencyChangeNotifications(), 1);
  inst->Idle();
  EXPECT_EQ(inst->LatencyChangeNotifications(), 2);
  EXPECT_EQ(inst->Latency(), 64);
  for (const auto& r : inst->Handler().Restarts()) EXPECT_EQ(r.thread, inst->MainThread());
}

TEST_F(ProbeVst3, PlugInEditsReachTheHostOnTheMainThread) {
  auto inst = NewInstance();
  ASSERT_TRUE(inst->Activate(48000, 64));
  // A gesture from the editor thread with several values: one begin, the
  // latest value, one end.
  OnOtherThread([] {
    sHooks.beginGesture(probe::kGain);
    sHooks.edit(probe::kGain, 0.4);
    sHooks.edit(probe::kGain, 0.6);
    sHooks.endGesture(probe::kGain);
  });
  EXPECT_TRUE(inst->Handler().Edits().empty());
  inst->Idle();
  auto edits = inst->Handler().Edits();
  ASSERT_EQ(edits.size(), 3u);
  EXPECT_EQ(edits[0].kind, qbhost::EditRecord::Kind::Begin);
  EXPECT_EQ(edits[1].kind, qbhost::EditRecord::Kind::Perform);
  EXPECT_EQ(edits[2].kind, qbhost::EditRecord::Kind::End);
  EXPECT_DOUBLE_EQ(edits[1].normalized, 0.3);  // 0.6 of 0..2
  for (const auto& e : edits) {
    EXPECT_EQ(e.id, static_cast<ParamID>(probe::kGain));
    EXPECT_EQ(e.thread, inst->MainThread());
  }
  const auto taken = inst->TakeParamChangesFromPlugin();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_DOUBLE_EQ(taken[0].second, 0.6);

  // From the audio thread, during processing, without a gesture: wrapped in
  // its own begin / end.
  OnOtherThread([&] {
    Channels<double> in(2, 64), out(2, 64);
    inst->Process(in.ConstPtrs(), 2, out.Ptrs(), 2, 64);
    sHooks.edit(probe::kMode, 2.0);
  });
  inst->Idle();
  edits = inst->Handler().Edits();
  ASSERT_EQ(edits.size(), 6u);
  EXPECT_EQ(edits[3].kind, qbhost::EditRecord::Kind::Begin);
  EXPECT_EQ(edits[4].kind, qbhost::EditRecord::Kind::Perform);
  EXPECT_EQ(edits[5].kind, qbhost::EditRecord::Kind::End);
  EXPECT_NEAR(edits[4].normalized, 2.0 / 3.0, 1e-12);
  for (const auto& e : edits) EXPECT_EQ(e.thread, inst->MainThread());
}

TEST_F(ProbeVst3, WithoutARunLoopEditsArriveAtTheNextMainThreadCall) {
  auto inst = NewInstance(qbhost::Vst3HostOptions{false, false});
  OnOtherThread([] { sHooks.edit(probe::kGain, 1.2); });
  inst->Idle();  // no timers to run
  EXPECT_TRUE(inst->Handler().Edits().empty());
  EXPECT_DOUBLE_EQ(inst->GetParam(probe::kGain), 1.2);  // a main-thread entry
  const auto taken = inst->TakeParamChangesFromPlugin();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_DOUBLE_EQ(taken[0].second, 1.2);
}

TEST_F(ProbeVst3, HostValueSupersedesAPendingPlugInEdit) {
  auto inst = NewInstance(qbhost::Vst3HostOptions{false, false});
  OnOtherThread([] { sHooks.edit(probe::kGain, 1.2); });
  inst->Controller()->setParamNormalized(probe::kGain, 0.25);
  inst->Idle();
  EXPECT_DOUBLE_EQ(inst->GetParam(probe::kGain), 0.5);
  EXPECT_TRUE(inst->TakeParamChangesFromPlugin().empty());
}

TEST_F(ProbeVst3, EditorViewOpensSizesAndCloses) {
  auto inst = NewInstance();
  const int open = Stats().windowsOpen;
  ASSERT_EQ(inst->OpenEditor(0x2a0001), kResultOk);
  EXPECT_EQ(Stats().windowsOpen.load(), open + 1);
  EXPECT_EQ(Stats().lastParentWindow.load(), 0x2a0001ul);
  IPlugView* view = inst->View();
  EXPECT_EQ(view->isPlatformTypeSupported("X11EmbedWindowID"), kResultTrue);
  EXPECT_EQ(view->isPlatformTypeSupported("HWND"), kResultFalse);
  EXPECT_EQ(view->canResize(), kResultTrue);
  ViewRect size;
  ASSERT_EQ(view->getSize(&size), kResultOk);
  EXPECT_EQ(size.getWidth(), 400);
  EXPECT_EQ(size.getHeight(), 300);

  struct Constraint {
    int w, h, expectW, expectH;
  };
  for (const Constraint c : {Constraint{50, 5000, 200, 600}, Constraint{500, 350, 500, 350}, Constraint{9000, 1, 800, 100}}) {
    ViewRect r(10, 20, 10 + c.w, 20 + c.h);
    EXPECT_EQ(view->checkSizeConstraint(&r), kResultTrue);
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.getWidth(), c.expectW);
    EXPECT_EQ(r.getHeight(), c.expectH);
  }

  ViewRect newSize(0, 0, 500, 350);
  ASSERT_EQ(view->onSize(&newSize), kResultOk);
  EXPECT_EQ(Stats().parentWidth.load(), 500);
  EXPECT_EQ(Stats().parentHeight.load(), 350);
  ASSERT_EQ(view->getSize(&size), kResultOk);
  EXPECT_EQ(size.getWidth(), 500);

  // Only one open editor per instance.
  IPlugView* second = inst->Controller()->createView("editor");
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second->attached(reinterpret_cast<void*>(0x99), "X11EmbedWindowID"), kResultOk);
  second->release();
  EXPECT_EQ(Stats().windowsOpen.load(), open + 1);

  // The editor asks for a size from its own thread: the host frame hears
  // of it on the main thread and resizes the view.
  bool accepted = false;
  OnOtherThread([&] { accepted = sHooks.requestResize(640, 480); });
  EXPECT_TRUE(accepted);
  EXPECT_TRUE(inst->Frame().Resizes().empty());
  inst->Idle();
  const auto resizes = inst->Frame().Resizes();
  ASSERT_EQ(resizes.size(), 1u);
  EXPECT_EQ(resizes[0].width, 640);
  EXPECT_EQ(resizes[0].height, 480);
  EXPECT_EQ(resizes[0].thread, inst->MainThread());
  EXPECT_EQ(Stats().parentWidth.load(), 640);
  // From the main thread the request goes to the host at once.
  EXPECT_TRUE(sHooks.requestResize(700, 500));
  EXPECT_EQ(inst->Frame().Resizes().size(), 2u);

  EXPECT_GE(inst->RunLoop().TimerCount(), 1);
  inst->CloseEditor();
  EXPECT_EQ(Stats().windowsOpen.load(), open);
  EXPECT_EQ(inst->RunLoop().TimerCount(), 1);  // the context timer only
}

TEST_F(ProbeVst3, EditorViewRefusesWhatItCannotEmbed) {
  auto inst = NewInstance();
  EXPECT_EQ(inst->Controller()->createView("other"), nullptr);
  IPlugView* view = inst->Controller()->createView("editor");
  ASSERT_NE(view, nullptr);
  const int open = Stats().windowsOpen;
  EXPECT_NE(view->attached(nullptr, "X11EmbedWindowID"), kResultOk);
  EXPECT_NE(view->attached(reinterpret_cast<void*>(0x10), "HWND"), kResultOk);
  EXPECT_EQ(Stats().windowsOpen.load(), open);
  EXPECT_NE(view->removed(), kResultOk);
  view->release();
}

TEST_F(ProbeVst3, StateCarriesTheBypassFlagAndLoadsOnce) {
  auto a = NewInstance();
  a->SetParam(probe::kGain, 1.75);
  a->SetParam(kBypassId, 1.0);
  std::vector<uint8_t> state;
  ASSERT_TRUE(a->SaveState(state));
  ASSERT_EQ(state.size(), 3 * sizeof(double) + 4);  // the probe's three parameters, then the flag
  EXPECT_EQ(std::vector<uint8_t>(state.end() - 4, state.end()), (std::vector<uint8_t>{1, 0, 0, 0}));

  auto b = NewInstance();
  const int changes = Stats().paramChanges;
  ASSERT_TRUE(b->LoadState(state));  // setState, then setComponentState
  EXPECT_EQ(Stats().paramChanges.load(), changes + probe::kNumParams);  // applied exactly once
  EXPECT_DOUBLE_EQ(b->GetParam(probe::kGain), 1.75);
  EXPECT_EQ(b->GetParam(kBypassId), 1.0);
  EXPECT_EQ(b->Handler().CountRestarts(kParamValuesChanged), 1);

  // A bypass field that is neither 0 nor 1 is not a bypass state.
  std::vector<uint8_t> odd = state;
  odd[odd.size() - 4] = 7;
  auto c = NewInstance();
  ASSERT_TRUE(c->LoadState(odd));
  EXPECT_EQ(c->GetParam(kBypassId), 0.0);

  // The controller state is empty: everything lives in the component state.
  qbhost::MemoryStream controllerState;
  EXPECT_EQ(b->Controller()->getState(&controllerState), kResultOk);
  EXPECT_TRUE(controllerState.Bytes().empty());
  qbhost::MemoryStream junk({1, 2, 3});
  EXPECT_EQ(b->Controller()->setState(&junk), kResultOk);
  EXPECT_DOUBLE_EQ(b->GetParam(probe::kGain), 1.75);
}

TEST_F(ProbeVst3, InstancesComeAndGo) {
  const int before = Stats().instances;
  {
    auto a = NewInstance();
    auto b = NewInstance();
    EXPECT_EQ(Stats().instances.load(), before + 2);
    ASSERT_EQ(a->OpenEditor(0x1), kResultOk);
    // Terminated with its editor still open: the wrapper closes it.
    a->Component()->terminate();
    EXPECT_EQ(Stats().windowsOpen.load(), 0);
  }
  EXPECT_EQ(Stats().instances.load(), before);
}

}  // namespace
