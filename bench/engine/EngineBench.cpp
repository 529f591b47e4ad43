// Cost of the engine per hop (one frame plus the hop's samples through the
// run call) at N = 512 .. 4096, with no peer, a peer below every threshold
// and a peer 10 dB above the threshold in every bin; as ratios to the floor,
// the four real transforms one hop needs (2 forward + 2 inverse), measured in
// the same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/engine/RealFft.h"
#include "core/engine/SpectralProcessor.h"

namespace {

using qb::FrameArguments;
using qb::RealFft;
using qb::SpectralProcessor;

double RateFor(int n) {
  switch (n) {
    case 512: return 22050.0;
    case 1024: return 44100.0;
    case 2048: return 96000.0;
    default: return 192000.0;
  }
}

std::vector<float> Noise(size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
  std::vector<float> v(count);
  for (float& x : v) x = dist(rng);
  return v;
}

// The floor: two forward and two inverse transforms, on zeroed buffers that
// stay zero (the transforms' cost does not depend on the data;
// Floor_TransformsRefilled checks that with a real signal copied in first).
void Floor_Transforms(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  RealFft fft;
  if (!fft.prepare(n)) return state.SkipWithError("prepare failed");
  alignas(64) static float work[2][RealFft::kMaxSize];
  std::memset(work, 0, sizeof work);
  for (auto _ : state) {
    fft.forward(work[0]);
    fft.forward(work[1]);
    fft.inverse(work[0]);
    fft.inverse(work[1]);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(Floor_Transforms)->Arg(512)->Arg(1024)->Arg(2048)->Arg(4096);

void Floor_TransformsRefilled(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  RealFft fft;
  if (!fft.prepare(n)) return state.SkipWithError("prepare failed");
  alignas(64) static float work[2][RealFft::kMaxSize];
  const std::vector<float> source = Noise(2 * n, 1);
  for (auto _ : state) {
    std::memcpy(work[0], source.data(), sizeof(float) * n);
    std::memcpy(work[1], source.data() + n, sizeof(float) * n);
    fft.forward(work[0]);
    fft.forward(work[1]);
    fft.inverse(work[0]);
    fft.inverse(work[1]);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(Floor_TransformsRefilled)->Arg(512)->Arg(1024)->Arg(2048)->Arg(4096);

enum class Peer { None, Below, Above };

struct EngineSetup {
  std::unique_ptr<SpectralProcessor> engine = std::make_unique<SpectralProcessor>();
  std::vector<float> peer = std::vector<float>(SpectralProcessor::kPeerBins);
  FrameArguments args;
  std::vector<float> in0, in1, out0, out1;

  EngineSetup(int n, Peer kind) {
    engine->setAttackTime(10.0);
    engine->setReleaseTime(100.0);
    engine->configure(RateFor(n));
    const double thresholdDb = -20.0;
    for (int b = 0; b < 3; ++b) {
      args.thresholdsDb[b] = thresholdDb;
      args.ratios[b] = 4.0;
    }
    // Every bin of the peer can duck.
    args.hpHz = 0.0f;
    args.lpHz = 1e9f;
    const double levelDb = kind == Peer::Above ? thresholdDb + 10.0 : thresholdDb - 20.0;
    const float magnitude = static_cast<float>(std::pow(10.0, levelDb / 20.0) * n * 0.25);
    for (float& p : peer) p = magnitude;
    args.peerSpectrum = kind == Peer::None ? nullptr : peer.data();
    args.peerValid = kind != Peer::None;
    const int hop = n / 2;
    in0 = Noise(hop, 2);
    in1 = Noise(hop, 3);
    out0.resize(hop);
    out1.resize(hop);
    // Past the warm-up, gains settled.
    for (int i = 0; i < 64; ++i) runHop();
  }
  void runHop() {
    engine->run(in0.data(), in1.data(), out0.data(), out1.data(), static_cast<int>(in0.size()), args);
  }
};

// One hop of samples through the run call: exactly one frame per iteration.
void EngineHop(benchmark::State& state, Peer kind) {
  EngineSetup setup(static_cast<int>(state.range(0)), kind);
  for (auto _ : state) {
    setup.runHop();
    benchmark::ClobberMemory();
  }
}
void EngineHop_NoPeer(benchmark::State& state) { EngineHop(state, Peer::None); }
void EngineHop_PeerBelow(benchmark::State& state) { EngineHop(state, Peer::Below); }
void EngineHop_PeerAbove(benchmark::State& state) { EngineHop(state, Peer::Above); }
BENCHMARK(EngineHop_NoPeer)->Arg(512)->Arg(1024)->Arg(2048)->Arg(4096);
BENCHMARK(EngineHop_PeerBelow)->Arg(512)->Arg(1024)->Arg(2048)->Arg(4096);
BENCHMARK(EngineHop_PeerAbove)->Arg(512)->Arg(1024)->Arg(2048)->Arg(4096);

// The ratio measured in pairs: blocks of engine hops and blocks of floors
// alternate within one benchmark, timed with the thread's CPU clock, so load
// from other processes on a shared machine affects both alike. Reports the
// engine's time per hop and the counter x_floor = engine / floor.
struct FloorSetup {
  RealFft fft;
  alignas(64) float work[2][RealFft::kMaxSize] = {};
  explicit FloorSetup(int n) { fft.prepare(n); }
  void run() {
    fft.forward(work[0]);
    fft.forward(work[1]);
    fft.inverse(work[0]);
    fft.inverse(work[1]);
  }
};

double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

void PairedRatio(benchmark::State& state, Peer kind) {
  constexpr int kBlock = 16;
  const int n = static_cast<int>(state.range(0));
  EngineSetup setup(n, kind);
  auto floor = std::make_unique<FloorSetup>(n);
  double engineSeconds = 0.0;
  double floorSeconds = 0.0;
  for (auto _ : state) {
    const double t0 = ThreadSeconds();
    for (int i = 0; i < kBlock; ++i) setup.runHop();
    benchmark::ClobberMemory();
    const double t1 = ThreadSeconds();
    for (int i = 0; i < kBlock; ++i) floor->run();
    benchmark::ClobberMemory();
    const double t2 = ThreadSeconds();
    engineSeconds += t1 - t0;
    floorSeconds += t2 - t1;
    state.SetIterationTime((t1 - t0) / kBlock);
  }
  if (floorSeconds > 0.0) state.counters["x_floor"] = engineSeconds / floorSeconds;
  state.counters["floor_ns"] =
      1e9 * floorSeconds / (static_cast<double>(state.iterations()) * kBlock);
}
void Ratio_NoPeer(benchmark::State& state) { PairedRatio(state, Peer::None); }
void Ratio_PeerBelow(benchmark::State& state) { PairedRatio(state, Peer::Below); }
void Ratio_PeerAbove(benchmark::State& state) { PairedRatio(state, Peer::Above); }
BENCHMARK(Ratio_NoPeer)->Arg(512)->Arg(1024)->Arg(2048)->Arg(4096)->UseManualTime();
BENCHMARK(Ratio_PeerBelow)->Arg(512)->Arg(1024)->Arg(2048)->Arg(4096)->UseManualTime();
BENCHMARK(Ratio_PeerAbove)->Arg(512)->Arg(1024)->Arg(2048)->Arg(4096)->UseManualTime();

// Console output plus, at the end, a table of the paired ratios (medians when
// run with --benchmark_repetitions) and the plain benchmarks as ratios to
// Floor_Transforms of the same length.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      std::string name = run.run_name.function_name;
      const int n = std::stoi(run.run_name.args);
      if (median) medianSeen.insert({n, name});
      if (!median && medianSeen.count({n, name})) continue;
      Entry& e = entries[n][name];
      if (median || !e.fromMedian) {
        e.fromMedian = median;
        e.cpuNs = run.GetAdjustedCPUTime();
        const auto ratio = run.counters.find("x_floor");
        e.pairedRatio = ratio != run.counters.end() ? ratio->second.value : 0.0;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [n, byName] : entries) {
      std::printf("\nN = %d\n", n);
      const auto floor = byName.find("Floor_Transforms");
      for (const auto& [name, e] : byName) {
        if (e.pairedRatio > 0.0) {
          std::printf("  %-26s paired x_floor %5.2f\n", name.c_str(), e.pairedRatio);
        } else if (floor != byName.end() && floor->second.cpuNs > 0.0) {
          std::printf("  %-26s %8.0f ns cpu  %5.2f x Floor_Transforms\n", name.c_str(), e.cpuNs,
                      e.cpuNs / floor->second.cpuNs);
        }
      }
    }
  }

 private:
  struct Entry {
    bool fromMedian = false;
    double cpuNs = 0.0;
    double pairedRatio = 0.0;
  };
  std::map<int, std::map<std::string, Entry>> entries;
  std::set<std::pair<int, std::string>> medianSeen;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
