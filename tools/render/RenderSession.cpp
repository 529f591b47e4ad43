#include "RenderSession.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "Interruption.h"
#include "StateChunkEdit.h"

namespace qbrender {
namespace {

constexpr auto kPairingPoll = std::chrono::milliseconds(20);
constexpr int kIdleEveryBlocks = 16;
// A latency beyond this many seconds is not one the module could mean.
constexpr double kMaxLatencySeconds = 60.0;

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f s", s);
  return buf;
}

// The state's parameter block is indexed by parameter id.
bool ParamsById(const ParameterTable& table, const std::vector<double>& values,
                std::array<double, kChunkParamCount>& out, std::string& error) {
  const auto& params = table.Params();
  std::array<bool, kChunkParamCount> seen{};
  if (params.size() == kChunkParamCount && values.size() == params.size()) {
    for (size_t i = 0; i < params.size(); ++i) {
      const uint32_t id = params[i].id;
      if (id >= kChunkParamCount || seen[id]) break;
      seen[id] = true;
      out[id] = values[i];
    }
    if (std::all_of(seen.begin(), seen.end(), [](bool s) { return s; })) return true;
  }
  error = "the module's parameters (" + std::to_string(params.size()) +
          ") do not match the Quellbridge state layout of 14 parameters with ids 0 to 13";
  return false;
}

}  // namespace

std::unique_ptr<RenderSession> RenderSession::Create(qbhost::Format format, const std::string& modulePath,
                                                     std::string& error) {
  std::unique_ptr<RenderSession> s(new RenderSession);
  s->mFormat = format;
  std::string why;
  s->mModule = qbhost::LoadModule(modulePath, format, why);
  const std::string kind = format == qbhost::Format::Clap ? "CLAP" : "VST3";
  if (!s->mModule) {
    error = "cannot load the " + kind + " module '" + modulePath + "': " + why;
    return nullptr;
  }
  const std::vector<qbhost::PluginIdentity> plugins = s->mModule->Plugins();
  if (plugins.empty()) {
    error = "the " + kind + " module '" + modulePath + "' offers no plug-in";
    return nullptr;
  }
  s->mDescription = plugins[0].name + (plugins[0].version.empty() ? "" : " " + plugins[0].version);
  s->mTrack = s->mModule->CreateInstance(0);
  s->mKey = s->mTrack ? s->mModule->CreateInstance(0) : nullptr;
  if (!s->mTrack || !s->mKey) {
    error = "the " + kind + " module '" + modulePath + "' could not create two instances";
    return nullptr;
  }
  s->mTable = std::make_unique<ParameterTable>(s->mTrack->Params());
  return s;
}

RenderSession::~RenderSession() {
  if (mTrack) mTrack->Deactivate();
  if (mKey) mKey->Deactivate();
}

bool RenderSession::Prepare(const InstanceSetup& track, const InstanceSetup& key, double sampleRate, int blockSize,
                            bool allowUnrecognisedState, std::vector<std::string>& warnings, std::string& error) {
  mSampleRate = sampleRate;
  mBlockSize = blockSize;
  mTrackName = track.name;
  mKeyName = key.name;

  struct Side {
    qbhost::HostedInstance& instance;
    const InstanceSetup& own;
    const InstanceSetup& peer;
    std::vector<uint8_t> state;
  };
  Side sides[2] = {{*mTrack, track, key, {}}, {*mKey, key, track, {}}};

  for (Side& side : sides) {
    const auto& params = mTable->Params();
    if (side.own.params.size() != params.size()) {
      error = "internal error: parameter values do not match the module's list";
      return false;
    }
    // Through the parameter API, as a host sets them; the state below carries
    // the same values so that loading it does not revert them.
    for (size_t i = 0; i < params.size(); ++i) side.instance.SetParam(params[i].id, side.own.params[i]);
    if (!side.instance.Activate(sampleRate, blockSize)) {
      error = "the module refused to start processing at " + std::to_string(static_cast<long>(sampleRate)) +
              " Hz in blocks of " + std::to_string(blockSize);
      return false;
    }
  }

  bool editable = true;
  for (Side& side : sides) {
    if (!side.instance.SaveState(side.state)) {
      error = "the module could not save its state";
      return false;
    }
    ChunkEdit edit;
    edit.ownName = side.own.name;
    edit.peerName = side.peer.name;
    edit.bands = side.own.bands;
    std::string why;
    if (!ParamsById(*mTable, side.own.params, edit.params, why) ||
        !EditSavedState(side.state, mFormat, edit, why)) {
      if (!allowUnrecognisedState) {
        error = "cannot pair the instances: " + why;
        return false;
      }
      warnings.push_back("the instances keep their saved states (" + why + ")");
      editable = false;
      break;
    }
  }
  mStatesWritten = editable;
  if (editable) {
    // The track first: it cannot find its peer yet; the key then finds the
    // track by name, and pairing pairs both.
    for (Side& side : sides) {
      if (!side.instance.LoadState(side.state)) {
        error = "the module refused the state written for " + side.own.name;
        return false;
      }
    }
  }

  for (Side& side : sides) {
    side.instance.Deactivate();
    if (!side.instance.Activate(sampleRate, blockSize)) {
      error = "the module refused to restart processing after loading its state";
      return false;
    }
  }
  mTrackLatency = mTrack->Latency();
  mKeyLatency = mKey->Latency();
  for (int latency : {mTrackLatency, mKeyLatency}) {
    if (latency < 0 || latency > kMaxLatencySeconds * sampleRate) {
      error = "the module reports an implausible latency of " + std::to_string(latency) + " samples";
      return false;
    }
  }
  return true;
}

bool RenderSession::WaitForPairing(double timeoutSeconds, bool quiet, PairingState& state, std::string& error) {
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::duration<double>(timeoutSeconds);
  bool announced = false;
  std::string lastProblem;
  while (true) {
    if (!mRegistry) mRegistry = RegistryView::Open(lastProblem);
    if (mRegistry) {
      state = CheckPairing(*mRegistry, mTrackName, mKeyName);
      if (state.paired) {
        mPairing = state;
        if (announced && isatty(STDERR_FILENO)) std::fprintf(stderr, "\r\033[K");
        return true;
      }
      lastProblem = state.problem;
    } else {
      state = PairingState{};
      state.problem = lastProblem;
    }
    const auto now = std::chrono::steady_clock::now();
    if (Interrupted()) {
      error = "interrupted";
      return false;
    }
    if (now >= deadline) {
      char limit[32];
      std::snprintf(limit, sizeof limit, "%g", timeoutSeconds);
      error = "the instances did not pair within " + std::string(limit) + " s: " + lastProblem;
      return false;
    }
    if (!quiet && !announced && now - start > std::chrono::seconds(1)) {
      std::fprintf(stderr, isatty(STDERR_FILENO) ? "Waiting for the instances to pair..." : "Waiting for the instances to pair...\n");
      std::fflush(stderr);
      announced = true;
    }
    mTrack->Idle();
    mKey->Idle();
    std::this_thread::sleep_for(kPairingPoll);
  }
}

bool RenderSession::Render(StereoSource& track, StereoSource& key, const RenderTargets& targets, bool requirePairing,
                           GainReductionLog& log, ProgressBar& progress, std::string& error) {
  const int64_t length = std::max(track.Frames(), key.Frames());
  const int64_t total = length + std::max(mTrackLatency, mKeyLatency);
  const size_t block = static_cast<size_t>(mBlockSize);
  std::vector<double> keyIn[2], keyOut[2], trackIn[2], trackOut[2];
  for (auto* buffers : {keyIn, keyOut, trackIn, trackOut})
    for (int c = 0; c < 2; ++c) buffers[c].assign(block, 0.0);

  const bool paired = mPairing.paired && mRegistry;
  const int trackSlot = paired ? mPairing.track->index : -1;
  const uint64_t trackId = paired ? mPairing.track->instanceId : 0;
  const uint64_t keyId = paired ? mPairing.key->instanceId : 0;
  const int keySlot = paired ? mPairing.key->index : -1;
  double halfTransform = 0.0;
  if (paired)
    if (const auto slot = mRegistry->Slot(trackSlot)) halfTransform = std::clamp(slot->fftSize, 0, 1 << 16) / 2.0;

  // Writes the part of a processed block that falls inside [0, frames) of
  // the output once latency samples are dropped.
  auto emit = [&error](FrameSink* sink, const std::vector<double>* out, int64_t pos, int n, int latency,
                       int64_t frames) {
    if (!sink) return true;
    const int64_t first = std::max<int64_t>(0, latency - pos);
    const int64_t end = std::min<int64_t>(n, frames + latency - pos);
    if (end <= first) return true;
    return sink->Write(out[0].data() + first, out[1].data() + first, static_cast<int>(end - first), error);
  };
  auto finite = [](const std::vector<double>* out, int n) {
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < n; ++i)
        if (!std::isfinite(out[c][static_cast<size_t>(i)])) return false;
    return true;
  };

  int64_t blocks = 0;
  for (int64_t pos = 0; pos < total; pos += static_cast<int64_t>(block), ++blocks) {
    if (Interrupted()) {
      error = "interrupted";
      return false;
    }
    const int n = static_cast<int>(std::min<int64_t>(static_cast<int64_t>(block), total - pos));
    const double at = static_cast<double>(pos) / mSampleRate;

    if (!key.Read(keyIn[0].data(), keyIn[1].data(), n, error) ||
        !track.Read(trackIn[0].data(), trackIn[1].data(), n, error))
      return false;
    if (targets.trackIn && !emit(targets.trackIn, trackIn, pos, n, 0, track.Frames())) return false;

    const double* keyInPtr[2] = {keyIn[0].data(), keyIn[1].data()};
    double* keyOutPtr[2] = {keyOut[0].data(), keyOut[1].data()};
    const double* trackInPtr[2] = {trackIn[0].data(), trackIn[1].data()};
    double* trackOutPtr[2] = {trackOut[0].data(), trackOut[1].data()};
    // The key first, so the track's block sees the key's spectrum of the same block.
    if (!mKey->Process(keyInPtr, 2, keyOutPtr, 2, n) || !mTrack->Process(trackInPtr, 2, trackOutPtr, 2, n)) {
      error = "the module failed to process the block at " + Seconds(at);
      return false;
    }
    if (!finite(keyOut, n) || !finite(trackOut, n)) {
      error = "the module produced a sample that is not a number near " + Seconds(at);
      return false;
    }
    if (!emit(targets.keyOut, keyOut, pos, n, mKeyLatency, key.Frames()) ||
        !emit(targets.trackOut, trackOut, pos, n, mTrackLatency, track.Frames()) ||
        !emit(targets.trackOut2, trackOut, pos, n, mTrackLatency, track.Frames()))
      return false;

    if (paired) {
      if (requirePairing && (mRegistry->PeerId(trackSlot) != keyId || mRegistry->PeerId(keySlot) != trackId)) {
        error = "the pairing was lost during the render, near " + Seconds(at);
        return false;
      }
      // The newest frame ends with this block; it describes the output around
      // half a transform length earlier (the output is latency compensated).
      float db[3];
      mRegistry->GainReduction(trackSlot, db);
      log.Add((static_cast<double>(pos + n) - halfTransform) / mSampleRate, db);
    }
    if (blocks % kIdleEveryBlocks == 0) {
      mTrack->Idle();
      mKey->Idle();
    }
    progress.Update(static_cast<double>(pos + n) / static_cast<double>(total));
  }
  progress.Finish();
  return true;
}

}  // namespace qbrender
