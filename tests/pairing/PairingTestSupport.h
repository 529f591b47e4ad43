#pragma once
// Helpers for the pairing tests: the test process's own view of the registry
// segment (independent of any instance, every access under the registry
// lock), the writes another instance's editor makes (pairing, bypass, raw
// group edits), and a lock held by a forked child.

#include <sys/types.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "RegistryTestSupport.h"
#include "registry/RegistryLayout.h"

namespace qbtest {

struct SlotSnapshot {
  int index = -1;
  uint64_t instanceId = 0;
  uint64_t peerId = 0;
  std::string name;
  bool bypass = false;
};

class RegistryView {
 public:
  // Maps the segment if it exists; Map() again after it was created.
  RegistryView() { Map(); }
  bool Map() { return raw.Remap(); }
  bool Mapped() const { return raw.Mapped(); }

  // Runs edit under the registry lock (with retry). False when the segment
  // is not mapped or the lock could not be had.
  bool Locked(const std::function<void(qb::QBRegistry&)>& edit);

  std::vector<SlotSnapshot> AliveSlots();
  std::set<uint64_t> AliveIds();
  // The single alive id that is not in before; 0 when there is not exactly one.
  uint64_t NewId(const std::set<uint64_t>& before);
  // Lowest alive slot carrying id, -1 when none.
  int SlotOf(uint64_t id);
  // Both slots name each other, or both name nobody: what SetRemoteId leaves
  // behind, written the way another instance's editor would.
  bool Pair(uint64_t a, uint64_t b);
  bool Unpair(uint64_t a, uint64_t b);
  // Every alive slot that names an alive slot is named back by it.
  bool PairingsAreMutual(std::string* why = nullptr);

 private:
  RawRegistry raw;
};

// The target gain of a bin whose peer level is peerDb, against threshold
// thresholdDb with ratio: 1 at or below the threshold.
double DuckingGain(double peerDb, double thresholdDb, double ratio);

inline double ToDb(double gain) { return 20.0 * std::log10(gain); }

// A forked child that holds the registry lock in long stretches: holdMs on,
// gapMs off, until stopped. Between two stretches (lock held) it runs
// duringHold once per stretch, with the stretch number. The parent must have
// mapped the segment (view) before; the child uses that mapping and does not
// allocate.
class LockHog {
 public:
  using HoldAction = void (*)(qb::QBRegistry&, int stretch, void* context);
  LockHog(RegistryView& view, int holdMs, int gapMs, HoldAction duringHold = nullptr, void* context = nullptr);
  ~LockHog() { Stop(); }
  LockHog(const LockHog&) = delete;
  LockHog& operator=(const LockHog&) = delete;
  bool Running() const { return child > 0; }
  // Waits until the child holds the lock for the first time.
  bool WaitUntilHeld(int timeoutMs = 5000);
  // Ends the current stretch, lets the child exit, reaps it. Returns the
  // number of stretches it made (-1 when it failed).
  int Stop();

 private:
  pid_t child = -1;
  int stopFd = -1;    // parent -> child: any byte or EOF stops it
  int reportFd = -1;  // child -> parent: one byte per stretch begun, then the count
  int stretchesSeen = 0;
};

}  // namespace qbtest
