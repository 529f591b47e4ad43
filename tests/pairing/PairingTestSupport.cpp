#include "PairingTestSupport.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <ctime>

#include "registry/RobustMutex.h"
#include "registry/SlotGroups.h"

namespace qbtest {

bool RegistryView::Locked(const std::function<void(qb::QBRegistry&)>& edit) {
  if (!raw.Mapped()) return false;
  qb::RegistryLock lock(raw->mutex, qb::LockMode::WithRetry);
  if (!lock) return false;
  edit(*raw);
  return true;
}

std::vector<SlotSnapshot> RegistryView::AliveSlots() {
  std::vector<SlotSnapshot> slots;
  Locked([&](qb::QBRegistry& r) {
    for (int i = 0; i < qb::kSlotCount; ++i) {
      const qb::QBSlot& s = r.slots[i];
      if (!qb::SlotIsAlive(s)) continue;
      char name[qb::kNameSize];
      qb::CopyBoundedName(s.displayName, name);
      slots.push_back(SlotSnapshot{i, s.instanceId, s.peerId, name, s.bypass != 0});
    }
  });
  return slots;
}

std::set<uint64_t> RegistryView::AliveIds() {
  std::set<uint64_t> ids;
  for (const SlotSnapshot& s : AliveSlots()) ids.insert(s.instanceId);
  return ids;
}

uint64_t RegistryView::NewId(const std::set<uint64_t>& before) {
  uint64_t found = 0;
  int count = 0;
  for (uint64_t id : AliveIds())
    if (!before.count(id)) {
      found = id;
      ++count;
    }
  return count == 1 ? found : 0;
}

int RegistryView::SlotOf(uint64_t id) {
  int index = -1;
  Locked([&](qb::QBRegistry& r) { index = qb::FindAliveSlot(r, id); });
  return index;
}

bool RegistryView::Pair(uint64_t a, uint64_t b) {
  bool both = false;
  Locked([&](qb::QBRegistry& r) {
    const int i = qb::FindAliveSlot(r, a), j = qb::FindAliveSlot(r, b);
    if (i < 0 || j < 0) return;
    r.slots[i].peerId = b;
    r.slots[j].peerId = a;
    both = true;
  });
  return both;
}

bool RegistryView::Unpair(uint64_t a, uint64_t b) {
  bool both = false;
  Locked([&](qb::QBRegistry& r) {
    const int i = qb::FindAliveSlot(r, a), j = qb::FindAliveSlot(r, b);
    if (i < 0 || j < 0) return;
    r.slots[i].peerId = 0;
    r.slots[j].peerId = 0;
    both = true;
  });
  return both;
}

bool RegistryView::PairingsAreMutual(std::string* why) {
  bool mutual = true;
  const bool locked = Locked([&](qb::QBRegistry& r) {
    for (int i = 0; i < qb::kSlotCount; ++i) {
      const qb::QBSlot& s = r.slots[i];
      if (!qb::SlotIsAlive(s) || s.peerId == 0) continue;
      const int j = qb::FindAliveSlot(r, s.peerId);
      if (j < 0 || r.slots[j].peerId == s.instanceId) continue;
      mutual = false;
      if (why)
        *why += "slot " + std::to_string(i) + " names slot " + std::to_string(j) + ", which names " +
                std::to_string(r.slots[j].peerId) + "; ";
    }
  });
  return locked && mutual;
}

double DuckingGain(double peerDb, double thresholdDb, double ratio) {
  if (!(peerDb - thresholdDb > 0.0) || !(ratio > 1.0)) return 1.0;
  return std::pow(10.0, (1.0 - 1.0 / ratio) * (thresholdDb - peerDb) / 20.0);
}

// ---- LockHog ------------------------------------------------------------------

namespace {

void SleepMs(int ms) {
  timespec want{ms / 1000, (ms % 1000) * 1000000L}, left{};
  while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

// Child side: returns the number of stretches made.
int HogLoop(qb::QBRegistry& r, int holdMs, int gapMs, LockHog::HoldAction action, void* context, int stopFd,
            int reportFd) {
  for (int stretch = 0;; ++stretch) {
    const int rc = pthread_mutex_lock(&r.mutex);
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&r.mutex);
    else if (rc != 0) return -1;
    if (action) action(r, stretch, context);
    const char held = 'h';
    if (write(reportFd, &held, 1) != 1) {
      pthread_mutex_unlock(&r.mutex);
      return -1;
    }
    pollfd stop{stopFd, POLLIN, 0};
    const int ready = poll(&stop, 1, holdMs);
    pthread_mutex_unlock(&r.mutex);
    if (ready != 0) return stretch + 1;
    SleepMs(gapMs);
  }
}

}  // namespace

LockHog::LockHog(RegistryView& view, int holdMs, int gapMs, HoldAction duringHold, void* context) {
  qb::QBRegistry* registry = nullptr;
  view.Locked([&](qb::QBRegistry& r) { registry = &r; });
  if (!registry) return;
  int stop[2], report[2];
  if (pipe(stop) != 0) return;
  if (pipe(report) != 0) {
    close(stop[0]);
    close(stop[1]);
    return;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(stop[1]);
    close(report[0]);
    const int stretches = HogLoop(*registry, holdMs, gapMs, duringHold, context, stop[0], report[1]);
    _exit(stretches < 0 ? 255 : (stretches > 250 ? 250 : stretches));
  }
  close(stop[0]);
  close(report[1]);
  if (pid < 0) {
    close(stop[1]);
    close(report[0]);
    return;
  }
  child = pid;
  stopFd = stop[1];
  reportFd = report[0];
}

bool LockHog::WaitUntilHeld(int timeoutMs) {
  if (child <= 0) return false;
  if (stretchesSeen > 0) return true;
  pollfd in{reportFd, POLLIN, 0};
  if (poll(&in, 1, timeoutMs) != 1) return false;
  char c;
  if (read(reportFd, &c, 1) != 1) return false;
  ++stretchesSeen;
  return true;
}

int LockHog::Stop() {
  if (child <= 0) return -1;
  const char go = 's';
  [[maybe_unused]] const ssize_t sent = write(stopFd, &go, 1);
  close(stopFd);
  int status = 0;
  const pid_t reaped = waitpid(child, &status, 0);
  close(reportFd);
  child = -1;
  stopFd = reportFd = -1;
  if (reaped <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) == 255) return -1;
  return WEXITSTATUS(status);
}

}  // namespace qbtest
