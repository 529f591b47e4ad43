#include "core/Quellbridge.h"

#include <cstdio>
#include <cstring>

#include "core/Identity.h"
#include "core/engine/TransformLength.h"

namespace qb {
namespace {
// Instance numbers are per process and per module, never reused.
std::atomic<int> sInstanceCounter{0};
}  // namespace

Quellbridge::Quellbridge(const plinth::InstanceInfo& info) : plinth::Plugin(info, QuellbridgeConfig()) {
  for (int i = 0; i < kNumParams; ++i) paramTargets[i].store(kParamSpecs[i].defaultValue, std::memory_order_relaxed);
  for (int b = 0; b < 3; ++b) {
    gainReductionDb[b].store(0.0f, std::memory_order_relaxed);
    meterOwnLevels[b].store(0.0f, std::memory_order_relaxed);
    meterPeerLevels[b].store(0.0f, std::memory_order_relaxed);
  }
  for (std::atomic<float>& v : analyzerRing) v.store(0.0f, std::memory_order_relaxed);
  for (float& v : analyzerBinDb) v = -100.0f;
  for (float& v : analyzerBandDb) v = -100.0f;
  BuildAnalyzerWindow(analyzerWindow);
  BuildDisplayBands(analyzerSampleRate, analyzerBands);

  InitParameters(*this);

  const int number = sInstanceCounter.fetch_add(1) + 1;
  std::snprintf(instanceName, sizeof instanceName, "Quellbridge #%d", number);

  // Joining is best effort: when it fails the instance runs unpaired.
  if (registry.Open()) {
    registry.SetDisplayName(instanceName);
    const QBGroupCounters written = registry.WriteDefaultGroups();
    lastBandSeq.store(written.bandSeq);
    lastHpLpSeq.store(written.hpLpSeq);
    lastControlsSeq.store(written.controlsSeq);
  }

  Heartbeat::Hooks hooks;
  hooks.onRejoined = [this] { OnSlotRejoined(); };
  hooks.afterBeat = [this] { OnHeartbeat(); };
  heartbeat.Start(registry, std::move(hooks));
}

Quellbridge::~Quellbridge() {
  heartbeat.Stop();
  // Frees the own slot (its data stays for readers that still look) and unmaps.
  registry.Close();
}

void Quellbridge::OnReset() {
  const double sr = GetSampleRate();
  sampleRate = sr;
  analyzerSampleRate = static_cast<float>(sr);
  BuildDisplayBands(analyzerSampleRate, analyzerBands);

  processor.configure(sr);
  processor.setAttackTime(ParamValue(kAttack));
  processor.setReleaseTime(ParamValue(kRelease));
  const int n = processor.transformLength();
  registry.WriteFftSize(n);

  std::memset(peerSpectrum, 0, sizeof peerSpectrum);
  smoothingFrames = -1;  // the step depends on the rate
  levelsFreqLow = levelsFreqHigh = -1.0;
  ownSpectrumStale.store(true, std::memory_order_relaxed);
  Smoothed& s = paramSmoothed;
  for (int b = 0; b < 3; ++b) {
    s.thresh[b] = ParamTarget(kThreshLow + b);
    s.ratio[b] = ParamTarget(kRatioLow + b);
  }
  s.freqLow = ParamTarget(kFreqLow);
  s.freqHigh = ParamTarget(kFreqHigh);
  s.hp = ParamTarget(kHP);
  s.lp = ParamTarget(kLP);
  s.makeup = ParamTarget(kMakeup);

  // The path delays by two transform lengths; hosts align tracks with this.
  SetLatency(2 * n);
}

void Quellbridge::OnParamChange(int paramIdx) {
  if (paramIdx < 0 || paramIdx >= kNumParams) return;
  const double v = GetParam(paramIdx)->Value();
  switch (paramIdx) {
    case kAttack:
      paramTargets[kAttack].store(v, std::memory_order_relaxed);
      processor.setAttackTime(v);
      WriteControlsToOwnSlot();
      break;
    case kRelease:
      paramTargets[kRelease].store(v, std::memory_order_relaxed);
      processor.setReleaseTime(v);
      WriteControlsToOwnSlot();
      break;
    case kMakeup:
      paramTargets[kMakeup].store(v, std::memory_order_relaxed);
      WriteControlsToOwnSlot();
      break;
    case kLinkSlot:
      paramTargets[kLinkSlot].store(static_cast<double>(static_cast<int32_t>(v)), std::memory_order_relaxed);
      break;
    default:
      paramTargets[paramIdx].store(v, std::memory_order_relaxed);
      break;
  }
}

void Quellbridge::SetBandEnabled(int index, bool on) {
  if (index < 0 || index > 2) return;
  std::lock_guard<std::mutex> lock(persistMutex);
  liveBandEnabled[index].store(on, std::memory_order_relaxed);
  persistedBandEnabled[index] = on;
}

void Quellbridge::GetGainReduction(float& low, float& mid, float& high) const {
  low = gainReductionDb[0].load(std::memory_order_relaxed);
  mid = gainReductionDb[1].load(std::memory_order_relaxed);
  high = gainReductionDb[2].load(std::memory_order_relaxed);
}

void Quellbridge::GetMeters(float (&own)[3], float (&peer)[3], float (&gr)[3]) const {
  for (int b = 0; b < 3; ++b) {
    own[b] = meterOwnLevels[b].load(std::memory_order_relaxed);
    peer[b] = meterPeerLevels[b].load(std::memory_order_relaxed);
    gr[b] = gainReductionDb[b].load(std::memory_order_relaxed);
  }
}

double Quellbridge::ParamValue(int paramIdx) const {
  const plinth::IParam* p = GetParam(paramIdx);
  return p ? p->Value() : 0.0;
}

double Quellbridge::ParamTarget(int paramIdx) const {
  if (paramIdx < 0 || paramIdx >= kNumParams) return 0.0;
  return paramTargets[paramIdx].load(std::memory_order_relaxed);
}

// Attack, release and make-up go to the own slot at once when the lock is
// free; otherwise the next block or heartbeat writes them. Never waits, since
// host automation calls this on the audio thread.
void Quellbridge::WriteControlsToOwnSlot() {
  if (!registry.IsOpen()) return;
  controlsPending.store(true, std::memory_order_relaxed);
  FlushPendingControls();
}

void Quellbridge::FlushPendingControls() {
  // Cleared before the values are read, so a change made meanwhile on another
  // thread sets it again and is written by a later flush.
  if (!controlsPending.exchange(false, std::memory_order_acq_rel)) return;
  const uint64_t seq = registry.WriteControls(static_cast<float>(ParamTarget(kAttack)),
                                              static_cast<float>(ParamTarget(kRelease)),
                                              static_cast<float>(ParamTarget(kMakeup)), LockMode::SingleTry);
  if (seq == 0) {
    if (registry.IsOpen()) controlsPending.store(true, std::memory_order_release);
    return;
  }
  lastControlsSeq.store(seq, std::memory_order_relaxed);
}

}  // namespace qb
