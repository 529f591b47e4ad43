// The plug-in's audio callback through the CLAP module, loaded the way hosts
// do (dlopen through the test host), at 48 kHz with blocks of 32 to 1024
// samples: nanoseconds per sample and real-time factor (audio seconds per CPU
// second), and what the registry steps of each block cost on top of the
// engine, as ratios to an instance that is not joined, measured in the same
// run:
//   Unjoined        the 17th instance, with every slot taken: engine only
//   JoinedAlone     joined, no peer
//   PairedQuietPeer joined and paired with a live peer whose spectrum is silent
//   PairedLoudPeer  joined and paired with a live peer loud in every band
//                   (the engine ducks, so this adds engine work as well)
// Runs in a private /dev/shm so it never meets real instances.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "HostedPlugin.h"
#include "PairingTestSupport.h"
#include "PrivateShm.h"
#include "registry/RegistryLayout.h"

namespace {

constexpr double kRate = 48000.0;
constexpr int kMaxBlock = 1024;
constexpr const char* kFloor = "Unjoined";

class Instance {
 public:
  explicit Instance(std::unique_ptr<qbhost::HostedInstance> p) : plugin(std::move(p)) {
    ok = plugin && plugin->Activate(kRate, kMaxBlock);
  }
  // Processes blocks of n samples of signal (the same in both channels).
  void Run(const std::vector<double>& signal, int n, int blocks) {
    for (int b = 0; b < blocks; ++b) Block(signal.data() + static_cast<size_t>(b % 8) * kMaxBlock, n);
  }
  bool Block(const double* in, int n) {
    const double* ins[2] = {in, in};
    double* outs[2] = {out0.data(), out1.data()};
    return plugin->Process(ins, 2, outs, 2, n);
  }
  std::unique_ptr<qbhost::HostedInstance> plugin;
  bool ok = false;

 private:
  std::vector<double> out0 = std::vector<double>(kMaxBlock), out1 = std::vector<double>(kMaxBlock);
};

// Every instance of the run: the measured ones, the peers, and fillers that
// take the remaining slots so that the last one created runs unjoined.
struct Rig {
  std::unique_ptr<qbhost::HostedModule> module;
  std::map<std::string, std::unique_ptr<Instance>> measured;
  std::vector<std::unique_ptr<Instance>> others;
  std::vector<double> signal, silence;
  std::string error;

  Rig() {
    module = qbhost::LoadClapModule(QB_CLAP_MODULE_PATH, error);
    if (!module) return;
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-0.3, 0.3);
    signal.resize(8 * kMaxBlock);
    for (double& v : signal) v = u(rng);
    silence.assign(8 * kMaxBlock, 0.0);

    qbtest::RegistryView registry;
    auto create = [&](std::vector<uint64_t>* id) {
      registry.Map();
      const std::set<uint64_t> before = registry.AliveIds();
      auto instance = std::make_unique<Instance>(module->CreateInstance());
      if (id && registry.Map())
        if (const uint64_t added = registry.NewId(before)) id->push_back(added);
      return instance;
    };
    std::vector<uint64_t> ids;
    measured["JoinedAlone"] = create(&ids);
    measured["PairedQuietPeer"] = create(&ids);
    others.push_back(create(&ids));  // its peer, silent
    measured["PairedLoudPeer"] = create(&ids);
    others.push_back(create(&ids));  // its peer, loud
    if (ids.size() != 5) {
      error = "the measured instances and their peers did not join";
      return;
    }
    registry.Pair(ids[1], ids[2]);
    registry.Pair(ids[3], ids[4]);
    while (registry.AliveIds().size() < static_cast<size_t>(qb::kSlotCount)) others.push_back(create(nullptr));
    measured[kFloor] = create(nullptr);
    if (registry.AliveIds().size() != static_cast<size_t>(qb::kSlotCount)) {
      error = "unexpected number of joined instances";
      return;
    }
    for (const auto& [name, instance] : measured)
      if (!instance->ok) error = "activation failed";
    for (const auto& instance : others)
      if (!instance->ok) error = "activation failed";
    // The peers publish their spectra.
    others[0]->Run(silence, 512, 16);
    others[1]->Run(signal, 512, 16);
  }
};

Rig& SharedRig() {
  static Rig rig;
  return rig;
}

void ProcessBlock(benchmark::State& state, const std::string& variant) {
  Rig& rig = SharedRig();
  if (!rig.error.empty()) return state.SkipWithError(rig.error.c_str());
  Instance& instance = *rig.measured.at(variant);
  const int n = static_cast<int>(state.range(0));
  instance.Run(rig.signal, n, 64);  // past the first frames and adoptions
  size_t offset = 0;
  for (auto _ : state) {
    if (!instance.Block(rig.signal.data() + offset, n)) return state.SkipWithError("process failed");
    offset = (offset + static_cast<size_t>(n)) % (rig.signal.size() - kMaxBlock);
  }
  const double samples = static_cast<double>(state.iterations()) * n;
  state.counters["ns_per_sample"] =
      benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["rt_factor"] = benchmark::Counter(samples / kRate, benchmark::Counter::kIsRate);
}

#define QB_PLUGIN_BENCHMARK(variant)                                                                    \
  void variant(benchmark::State& state) { ProcessBlock(state, #variant); }                             \
  BENCHMARK(variant)->ArgName("block")->Arg(32)->Arg(64)->Arg(256)->Arg(1024)->MinTime(0.2)

QB_PLUGIN_BENCHMARK(Unjoined);
QB_PLUGIN_BENCHMARK(JoinedAlone);
QB_PLUGIN_BENCHMARK(PairedQuietPeer);
QB_PLUGIN_BENCHMARK(PairedLoudPeer);

// The same four instances measured side by side: every iteration runs a
// batch of blocks on each of them in turn (the order rotating), so the drift
// of a shared, noisy machine hits the floor and the variants alike. Reports
// each variant's real-time factor and its cost as a ratio to the floor.
void Interleaved(benchmark::State& state) {
  Rig& rig = SharedRig();
  if (!rig.error.empty()) return state.SkipWithError(rig.error.c_str());
  const int n = static_cast<int>(state.range(0));
  constexpr int kBatch = 16;
  const std::vector<std::string> names = {kFloor, "JoinedAlone", "PairedQuietPeer", "PairedLoudPeer"};
  std::vector<Instance*> instances;
  for (const std::string& name : names) {
    instances.push_back(rig.measured.at(name).get());
    instances.back()->Run(rig.signal, n, 64);  // past the first frames and adoptions
  }
  std::vector<double> seconds(names.size(), 0.0);
  size_t offset = 0;
  size_t turn = 0;
  for (auto _ : state) {
    for (size_t k = 0; k < names.size(); ++k) {
      const size_t v = (turn + k) % names.size();
      const auto start = std::chrono::steady_clock::now();
      for (int b = 0; b < kBatch; ++b) {
        if (!instances[v]->Block(rig.signal.data() + offset, n)) return state.SkipWithError("process failed");
        offset = (offset + static_cast<size_t>(n)) % (rig.signal.size() - kMaxBlock);
      }
      seconds[v] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    ++turn;
  }
  const double audioSeconds = static_cast<double>(state.iterations()) * kBatch * n / kRate;
  for (size_t v = 0; v < names.size(); ++v) {
    state.counters[names[v] + "_rt"] = audioSeconds / seconds[v];
    if (v > 0) state.counters[names[v] + "_ratio"] = seconds[v] / seconds[0];
  }
}
BENCHMARK(Interleaved)->ArgName("block")->Arg(32)->Arg(64)->Arg(256)->Arg(1024)->MinTime(1.0)->UseRealTime();

// Console output, then per block size every variant's cost as a ratio to the
// unjoined instance's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // Single runs, or the median of repetitions.
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_name.str().rfind("Interleaved", 0) == 0) continue;
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!single && !median) continue;
      const std::string name = run.run_name.str();
      const size_t slash = name.find('/');
      const size_t option = name.find("/min_time");
      perBlock[name.substr(slash + 1, option == std::string::npos ? std::string::npos : option - slash - 1)]
              [name.substr(0, slash)] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nCPU time per block as a ratio to %s, the engine alone:\n", kFloor);
    for (const auto& [block, variants] : perBlock) {
      const auto floor = variants.find(kFloor);
      if (floor == variants.end() || floor->second <= 0) continue;
      std::printf("  %-12s", block.c_str());
      for (const auto& [variant, time] : variants) std::printf("  %s %.3f", variant.c_str(), time / floor->second);
      std::printf("\n");
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> perBlock;
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
