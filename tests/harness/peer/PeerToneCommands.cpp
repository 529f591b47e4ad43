#include "PeerToneCommands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "ToneMeasurement.h"

namespace qbpeer {
namespace {

// Samples fed so far per instance, so a tone keeps its phase across commands.
std::map<const PeerInstance*, int64_t> sFedSamples;

std::string FormatDouble(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

std::string Tones(PeerState& s, const Args& a) {
  PeerInstance& p = InstanceArg(s, a, 1);
  if (!p.active) throw CommandError{"not active"};
  const int blocks = IntArg(a, 2, "block count");
  if (blocks < 0) throw CommandError{"block count must not be negative"};
  std::vector<Tone> tones;
  if (!ParseTones(StringArg(a, 3, "tones"), tones)) throw CommandError{"bad tones " + a[3]};
  const int64_t total = static_cast<int64_t>(blocks) * p.blockSize;
  int window = 0;
  std::vector<double> frequencies;
  if (a.size() > 4) {
    window = IntArg(a, 4, "window");
    if (window <= 0 || window > total) throw CommandError{"window must lie in 1 .. the samples processed"};
    for (size_t k = 5; k < a.size(); ++k) frequencies.push_back(DoubleArg(a, k, "frequency"));
  }

  const size_t n = static_cast<size_t>(p.blockSize);
  std::vector<double> in(4 * n, 0.0), out(2 * n, 0.0);
  const double* ins[4] = {in.data(), in.data() + n, in.data() + 2 * n, in.data() + 3 * n};
  double* outs[2] = {out.data(), out.data() + n};
  // The last `window` output samples per channel.
  std::vector<double> tail[2] = {std::vector<double>(static_cast<size_t>(window)),
                                 std::vector<double>(static_cast<size_t>(window))};
  int64_t& fed = sFedSamples[&p];
  int64_t done = 0;
  p.lastStats.Reset();
  for (int b = 0; b < blocks; ++b) {
    for (size_t i = 0; i < n; ++i) in[i] = in[n + i] = ToneSample(tones, fed + static_cast<int64_t>(i), p.sampleRate);
    if (!p.plugin->Process(ins, p.sideChain ? 4 : 2, outs, 2, p.blockSize)) throw CommandError{"process failed"};
    fed += static_cast<int64_t>(n);
    p.lastStats.Add(outs, 2, p.blockSize);
    p.totalStats.Add(outs, 2, p.blockSize);
    for (size_t i = 0; i < n; ++i, ++done) {
      const int64_t pos = done - (total - window);
      if (pos < 0) continue;
      tail[0][static_cast<size_t>(pos)] = out[i];
      tail[1][static_cast<size_t>(pos)] = out[n + i];
    }
  }
  p.plugin->Idle();

  std::string reply = "frames=";
  reply += std::to_string(p.lastStats.Frames());
  reply += p.lastStats.AnyNaN() ? " nan=1" : " nan=0";
  reply += " maxabs=";
  reply += FormatDouble(p.lastStats.MaxAbs());
  for (double hz : frequencies) {
    reply += ' ';
    reply += FormatDouble(hz);
    reply += '=';
    reply += FormatDouble(ToneAmplitude(tail[0].data(), window, hz, p.sampleRate));
    reply += ',';
    reply += FormatDouble(ToneAmplitude(tail[1].data(), window, hz, p.sampleRate));
  }
  return reply;
}

}  // namespace

void AddToneCommands(CommandTable& table) {
  table.Add("tones", "tones <i> <blocks> <hz:amp[,hz:amp...]|silence> [<window> <hz>...] -> stats and amplitudes",
            Tones);
}

}  // namespace qbpeer
