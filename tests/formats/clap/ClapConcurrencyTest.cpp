// Parameter traffic from every side at once, as hosts and editors produce it:
// host automation into process on an audio thread, edits from an editor
// thread, the host reading values and collecting output events on the main
// thread, then flushes on the main thread while the editor keeps editing.
// Meant to be run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ClapTestSupport.h"
#include "ProbeClapHooks.h"
#include "ProbePlugin.h"

namespace {

using Kind = qbhost::ClapOutputEvent::Kind;

struct GestureTracker {
  int open[probe::kNumParams] = {};
  bool nested = true;
  double lastMode = -1;
  void Add(const std::vector<qbhost::ClapOutputEvent>& events) {
    for (const auto& e : events) {
      if (e.paramId >= probe::kNumParams) {
        nested = false;
        continue;
      }
      if (e.kind == Kind::GestureBegin) nested &= ++open[e.paramId] == 1;
      if (e.kind == Kind::GestureEnd) nested &= --open[e.paramId] == 0;
      if (e.kind == Kind::Value && e.paramId == probe::kMode) lastMode = e.value;
    }
  }
};

TEST(ClapConcurrency, AudioEditorAndMainThreadsShareParameters) {
  qbhost::ClapModule* module = qbtest::LoadOnce(QB_PROBE_CLAP_PATH);
  ASSERT_TRUE(module);
  auto edit = reinterpret_cast<QbProbeEditParamFn>(module->Symbol("qb_probe_edit_param"));
  ASSERT_TRUE(edit);
  auto instance = module->CreateClapInstance(0);
  ASSERT_TRUE(instance);
  const clap_plugin_t* plugin = instance->Plugin();
  ASSERT_TRUE(instance->Activate(48000, 64));

  constexpr int kEdits = 3000;
  std::atomic<bool> audioRunning{true};
  std::atomic<bool> anyNonFinite{false};
  std::thread audio([&] {
    std::vector<double> l(64, 0.5), r(64, -0.5), ol(64), orr(64);
    const double* in[] = {l.data(), r.data()};
    double* out[] = {ol.data(), orr.data()};
    while (audioRunning.load()) {
      instance->Process(in, 2, out, 2, 64);
      for (double x : ol)
        if (!std::isfinite(x)) anyNonFinite.store(true);
    }
  });
  std::thread editor([&] {
    for (int i = 0; i < kEdits; ++i) edit(plugin, probe::kMode, i % 4, i % 3 == 0);
    edit(plugin, probe::kMode, 2, 1);
  });

  GestureTracker tracker;
  for (int i = 0; i < kEdits; ++i) {
    instance->SetParam(probe::kGain, 0.001 * (i % 2000));
    const double gain = instance->GetParam(probe::kGain);
    EXPECT_TRUE(gain >= 0.0 && gain <= 2.0);
    if (i % 50 == 0) {
      EXPECT_FALSE(instance->ValueToText(probe::kMode, instance->GetParam(probe::kMode)).empty());
      tracker.Add(instance->TakeOutputEvents());
    }
  }
  editor.join();
  audioRunning.store(false);
  audio.join();
  // Whatever the audio thread did not report yet goes out by flush once deactivated.
  instance->Deactivate();
  instance->Idle();
  tracker.Add(instance->TakeOutputEvents());
  EXPECT_EQ(tracker.lastMode, 2);

  // Not processing: edits ask for flushes, which the main thread runs.
  std::thread idleEditor([&] {
    for (int i = 0; i < kEdits; ++i) edit(plugin, probe::kMode, (i + 1) % 4, i % 2);
    edit(plugin, probe::kMode, 1, 1);
  });
  for (int i = 0; i < kEdits; ++i) {
    instance->Idle();
    if (i % 20 == 0) tracker.Add(instance->TakeOutputEvents());
  }
  idleEditor.join();
  instance->Idle();
  tracker.Add(instance->TakeOutputEvents());

  EXPECT_TRUE(tracker.nested);
  for (int p = 0; p < probe::kNumParams; ++p) EXPECT_EQ(tracker.open[p], 0) << p;
  EXPECT_EQ(tracker.lastMode, 1);
  EXPECT_DOUBLE_EQ(instance->GetParam(probe::kMode), 1);
  EXPECT_FALSE(anyNonFinite.load());
  EXPECT_EQ(instance->Record().droppedOutputEvents.load(), 0);
  qbtest::ExpectNoViolations(*instance);
}

}  // namespace
