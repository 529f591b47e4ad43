#include "registry/Heartbeat.h"

#include <chrono>

namespace qb {

bool Heartbeat::Start(QuellbridgeSHM& shm, Hooks h) noexcept {
  if (heartbeatThread.joinable()) return false;
  try {
    handle = &shm;
    hooks = std::move(h);
    heartbeatStop.store(false);
    heartbeatThread = std::thread([this] { Run(); });
    return true;
  } catch (...) {
    return false;
  }
}

void Heartbeat::Stop() noexcept {
  if (!heartbeatThread.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(wakeMutex);
    heartbeatStop.store(true);
  }
  wake.notify_all();
  try {
    heartbeatThread.join();
  } catch (...) {
  }
}

bool Heartbeat::SleepUntilNextBeat() noexcept {
  try {
    std::unique_lock<std::mutex> guard(wakeMutex);
    for (int i = 0; i < kSleepsPerBeat; ++i) {
      if (heartbeatStop.load()) return false;
      wake.wait_for(guard, std::chrono::milliseconds(kSleepMs), [this] { return heartbeatStop.load(); });
    }
    return !heartbeatStop.load();
  } catch (...) {
    return !heartbeatStop.load();
  }
}

void Heartbeat::Run() noexcept {
  while (!heartbeatStop.load()) {
    const BeatResult beat = handle->Beat();
    try {
      if (beat == BeatResult::Rejoined && hooks.onRejoined) hooks.onRejoined();
      if (hooks.afterBeat) hooks.afterBeat();
    } catch (...) {
      // A throwing hook must not end the heartbeat.
    }
    if (!SleepUntilNextBeat()) return;
  }
}

}  // namespace qb
