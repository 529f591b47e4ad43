// Cost of the registry steps that run per block or per editor tick, as
// ratios to a plain 4 KiB copy measured in the same run. Runs in a private
// /dev/shm so it never touches a real registry.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "PrivateShm.h"
#include "registry/QuellbridgeSHM.h"

namespace {

using namespace qb;

constexpr const char* kFloor = "Floor_Copy4KiB";

// Sixteen live instances, the first paired with the second.
struct Registry16 {
  std::array<std::unique_ptr<QuellbridgeSHM>, kSlotCount> handles;
  Registry16() {
    for (auto& h : handles) {
      h = std::make_unique<QuellbridgeSHM>();
      h->Open();
    }
    handles[0]->SetRemoteId(handles[1]->InstanceId());
    float spectrum[kSpectrumBins];
    for (int i = 0; i < kSpectrumBins; ++i) spectrum[i] = static_cast<float>(i);
    handles[1]->PublishSpectrum(spectrum, kSpectrumBins);
  }
};

Registry16& Shared() {
  static Registry16 registry;
  return registry;
}

void Floor_Copy4KiB(benchmark::State& state) {
  static float from[kSpectrumBins], to[kSpectrumBins];
  float* source = from;
  float* target = to;
  for (auto _ : state) {
    benchmark::DoNotOptimize(source);
    benchmark::DoNotOptimize(target);
    std::memcpy(target, source, sizeof to);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(Floor_Copy4KiB);

void CopyPeerSpectrum(benchmark::State& state) {
  QuellbridgeSHM& a = *Shared().handles[0];
  float key[kSpectrumBins];
  for (auto _ : state) {
    benchmark::DoNotOptimize(a.CopyPeerSpectrum(key));
    benchmark::ClobberMemory();
  }
  if (!a.CopyPeerSpectrum(key)) state.SkipWithError("no peer spectrum");
}
BENCHMARK(CopyPeerSpectrum);

void PublishSpectrum512(benchmark::State& state) {
  QuellbridgeSHM& a = *Shared().handles[0];
  float magnitudes[512] = {};
  for (auto _ : state) {
    a.PublishSpectrum(magnitudes, 512);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(PublishSpectrum512);

void ListInstances16(benchmark::State& state) {
  QuellbridgeSHM& a = *Shared().handles[0];
  for (auto _ : state) {
    QBInstanceList list = a.ListInstances();
    benchmark::DoNotOptimize(list);
  }
  if (a.ListInstances().size() != kSlotCount - 1) state.SkipWithError("expected 15 other instances");
}
BENCHMARK(ListInstances16);

// Console output plus, at the end, every benchmark as a ratio to the floor.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        perIteration[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto floor = perIteration.find(kFloor);
    if (floor == perIteration.end() || floor->second <= 0) return;
    std::printf("\nRatio to %s (%.1f ns):\n", kFloor, floor->second);
    for (const auto& [name, time] : perIteration) std::printf("  %-24s %8.2f\n", name.c_str(), time / floor->second);
  }

 private:
  std::map<std::string, double> perIteration;
};

}  // namespace

int main(int argc, char** argv) {
  qbtest::EnsurePrivateShm(argc, argv);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
