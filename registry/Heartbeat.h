#pragma once
// The heartbeat thread of one instance: keeps the own registry slot alive.
// First beat at start, then one every 30 x 100 ms; stopping wakes the thread
// at once and joins it. A beat is a single try (QuellbridgeSHM::Beat); when
// it had to claim a new slot, the owner's onRejoined hook runs so the owner
// can rewrite its name and groups (and record their counters); the optional
// afterBeat hook runs after every beat. Both hooks run on the heartbeat
// thread, without the registry lock held, and must not throw. Stop the
// heartbeat before the handle closes (declaring the Heartbeat after the
// handle makes its destructor do that).

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "registry/QuellbridgeSHM.h"

namespace qb {

class Heartbeat {
 public:
  static constexpr int kSleepsPerBeat = 30;
  static constexpr int kSleepMs = 100;

  struct Hooks {
    std::function<void()> onRejoined;
    std::function<void()> afterBeat;
  };

  Heartbeat() = default;
  ~Heartbeat() { Stop(); }
  Heartbeat(const Heartbeat&) = delete;
  Heartbeat& operator=(const Heartbeat&) = delete;

  // Starts the thread for handle (which must outlive it). Returns false when
  // it is already running or the thread could not be created. Main thread.
  bool Start(QuellbridgeSHM& handle, Hooks hooks) noexcept;

  // Sets heartbeatStop, wakes the thread and joins it. Main thread.
  void Stop() noexcept;

  bool Running() const noexcept { return heartbeatThread.joinable(); }

 private:
  void Run() noexcept;
  // Sleeps one beat period; false when asked to stop.
  bool SleepUntilNextBeat() noexcept;

  QuellbridgeSHM* handle = nullptr;  // set before the thread starts
  Hooks hooks;                       // set before the thread starts
  std::atomic<bool> heartbeatStop{false};
  std::mutex wakeMutex;  // guards the wait on wake
  std::condition_variable wake;
  std::thread heartbeatThread;  // started and joined on the main thread
};

}  // namespace qb
