#pragma once
// Drives a Quellbridge object directly, as a wrapper would: sample rate and
// block size, channel connections, reset, blocks of double buffers.

#include <memory>
#include <vector>

#include "core/Quellbridge.h"
#include "plinth/MakePlug.h"

namespace qbtest {

class PluginDriver {
 public:
  explicit PluginDriver(double sampleRate = 48000.0, int maxBlock = 512, int nOut = 2)
      : plugin(plinth::MakePlug<qb::Quellbridge>(plinth::InstanceInfo{})) {
    plugin->SetChannelConnections(4, nOut);
    plugin->SetSampleRateAndBlockSize(sampleRate, maxBlock);
    plugin->OnReset();
  }

  void SetParam(int idx, double v) { plugin->SetParameterFromHost(idx, v); }

  // Processes `in` (per channel) in blocks of `block`; returns the output per channel.
  std::vector<std::vector<double>> Run(const std::vector<std::vector<double>>& in, int block) {
    const size_t n = in[0].size();
    std::vector<std::vector<double>> out(2, std::vector<double>(n, 0.0));
    std::vector<double> side0(block, 0.25), side1(block, -0.25);
    for (size_t start = 0; start < n; start += block) {
      const int frames = static_cast<int>(std::min<size_t>(block, n - start));
      double* ins[4] = {const_cast<double*>(in[0].data() + start),
                        const_cast<double*>(in[in.size() > 1 ? 1 : 0].data() + start), side0.data(), side1.data()};
      double* outs[2] = {out[0].data() + start, out[1].data() + start};
      plugin->ProcessBlock(ins, outs, frames);
    }
    return out;
  }

  std::unique_ptr<qb::Quellbridge> plugin;
};

}  // namespace qbtest
