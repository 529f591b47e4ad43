#include "StateFuzzBench.h"

#include <cmath>
#include <cstring>

#include "plinth/MakePlug.h"
#include "registry/RobustMutex.h"
#include "registry/StateChunk.h"

namespace qbfuzz {
namespace {

constexpr double kSampleRate = 48000.0;
constexpr int kBlock = 256;
constexpr int kBlocks = 2;

std::unique_ptr<qb::Quellbridge> NewInstance() {
  std::unique_ptr<qb::Quellbridge> p(plinth::MakePlug<qb::Quellbridge>(plinth::InstanceInfo{}));
  p->SetChannelConnections(4, 2);
  p->SetSampleRateAndBlockSize(kSampleRate, kBlock);
  p->OnReset();
  return p;
}

bool Terminated(const char* name) { return std::memchr(name, 0, qb::kNameSize) != nullptr; }

std::string Fail(const char* which, const std::string& what) { return std::string(which) + ": " + what; }

}  // namespace

StateFuzzBench::StateFuzzBench() : target(NewInstance()), peer(NewInstance()), buffers(6 * kBlock, 0.0) {
  peer->SetInstanceName(kPeerName);
  target->SerializeState(defaults);
}

StateFuzzBench::~StateFuzzBench() = default;

std::string StateFuzzBench::Run(const uint8_t* data, size_t size) {
  target->Registry().SetRemoteId(0);
  if (target->UnserializeState(defaults, 0) != qb::kStateChunkSize) return "the default chunk does not read back";

  plinth::IByteChunk chunk;
  chunk.Assign(data, static_cast<int>(size));
  const int end = target->UnserializeState(chunk, 0);
  if (end != -1 && end != qb::kStatePersistedBytes + 112 && end != qb::kStateChunkSize)
    return "restore returned " + std::to_string(end);
  if (end > static_cast<int>(size)) return "restore claims more bytes than the chunk holds";

  for (qb::Quellbridge* p : {target.get(), peer.get()}) {
    const char* which = p == target.get() ? "target" : "peer";
    if (std::string f = CheckInstance(*p, which); !f.empty()) return f;
  }
  for (qb::Quellbridge* p : {target.get(), peer.get()}) {
    const char* which = p == target.get() ? "target" : "peer";
    if (std::string f = ProcessFinite(*p, which); !f.empty()) return f;
  }

  // What is saved reads back to itself.
  plinth::IByteChunk first, second;
  if (!target->SerializeState(first) || first.Size() != qb::kStateChunkSize) return "save failed or has the wrong size";
  if (target->UnserializeState(first, 0) != qb::kStateChunkSize) return "a saved chunk does not read back";
  if (!target->SerializeState(second) || second.Size() != first.Size() ||
      std::memcmp(first.GetData(), second.GetData(), static_cast<size_t>(first.Size())) != 0)
    return "saving after reading a saved chunk gives other bytes";
  return "";
}

std::string StateFuzzBench::CheckInstance(qb::Quellbridge& p, const char* which) {
  for (int i = 0; i < qb::kNumParams; ++i) {
    const plinth::IParam* param = p.GetParam(i);
    const double v = param->Value();
    if (!std::isfinite(v) || v < param->Min() || v > param->Max())
      return Fail(which, "parameter " + std::to_string(i) + " = " + std::to_string(v));
    if (!std::isfinite(p.ParamTarget(i))) return Fail(which, "target of parameter " + std::to_string(i));
  }
  char name[qb::kNameSize];
  p.GetInstanceName(name);
  if (!Terminated(name)) return Fail(which, "instance name not terminated");
  p.GetPersistedPeerName(name);
  if (!Terminated(name)) return Fail(which, "peer name not terminated");
  if (p.PersistedBandCount() < 1 || p.PersistedBandCount() > 3) return Fail(which, "band count");

  const qb::ShadowPeer shadow = p.GetShadowPeer();
  if (shadow.bandCount < 0 || shadow.bandCount > 3) return Fail(which, "shadow band count");
  const float* values[] = {shadow.freqs,   shadow.freqs + 1, shadow.freqs + 2,  shadow.freqs + 3, shadow.freqs + 4,
                           shadow.freqs + 5, shadow.thresholds, shadow.thresholds + 1, shadow.thresholds + 2,
                           shadow.ratios,  shadow.ratios + 1, shadow.ratios + 2, &shadow.hp,        &shadow.lp,
                           &shadow.attack, &shadow.release,   &shadow.makeup};
  for (const float* v : values)
    if (!std::isfinite(*v)) return Fail(which, "shadow value not finite");

  // The own slot holds well-formed groups and a terminated name.
  qb::QuellbridgeSHM& registry = p.Registry();
  if (!registry.IsOpen()) return "";
  qb::QBBandGroup bands;
  qb::QBHpLpGroup hpLp;
  qb::QBControlsGroup controls;
  if (registry.ReadBands(qb::SlotTarget::Own, qb::LockMode::WithRetry, bands) != qb::GroupRead::Read ||
      bands.count < 1 || bands.count > 3)
    return Fail(which, "own band group");
  if (registry.ReadHpLp(qb::SlotTarget::Own, qb::LockMode::WithRetry, hpLp) != qb::GroupRead::Read)
    return Fail(which, "own high/low-pass group");
  if (registry.ReadControls(qb::SlotTarget::Own, qb::LockMode::WithRetry, controls) != qb::GroupRead::Read)
    return Fail(which, "own controls group");
  qb::QBRegistry* header = registry.Header();
  const int slot = registry.SlotIndex();
  if (header && slot >= 0) {
    qb::RegistryLock lock(header->mutex, qb::LockMode::WithRetry);
    if (lock && !Terminated(header->slots[slot].displayName)) return Fail(which, "slot name not terminated");
  }
  return "";
}

std::string StateFuzzBench::ProcessFinite(qb::Quellbridge& p, const char* which) {
  double* in[4] = {&buffers[0], &buffers[kBlock], &buffers[2 * kBlock], &buffers[3 * kBlock]};
  double* out[2] = {&buffers[4 * kBlock], &buffers[5 * kBlock]};
  for (int b = 0; b < kBlocks; ++b) {
    for (int i = 0; i < kBlock; ++i) {
      const double v = 0.5 * std::sin(phase);
      phase = std::fmod(phase + 2.0 * M_PI * 997.0 / kSampleRate, 2.0 * M_PI);
      in[0][i] = v, in[1][i] = -v, in[2][i] = 0.25 * v, in[3][i] = 0.0;
    }
    p.ProcessBlock(in, out, kBlock);
    for (double* channel : out)
      for (int i = 0; i < kBlock; ++i)
        if (!std::isfinite(channel[i])) return Fail(which, "output not finite");
  }
  return "";
}

}  // namespace qbfuzz
