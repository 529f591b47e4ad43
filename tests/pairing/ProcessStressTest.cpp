// Several processes, each running two plug-in objects, pair, unpair, edit
// and bypass each other at random for a bounded time while processing audio:
// nobody hangs or crashes, the audio stays finite, and at rest every pairing
// in the segment is mutual.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "PairingTestSupport.h"
#include "QuellbridgeFixture.h"

namespace {

using namespace qb;
using Clock = std::chrono::steady_clock;

constexpr int kWorkers = 3;
constexpr int kInstancesPerWorker = 2;
constexpr auto kRunTime = std::chrono::milliseconds(2000);
constexpr int kReplyTimeoutMs = 20000;

// Messages on the pipes between the test and a worker.
constexpr char kReady = 'r', kGo = 'g', kDone = 'd', kExit = 'x';

bool Send(int fd, char c) { return write(fd, &c, 1) == 1; }

bool Receive(int fd, char expected, int timeoutMs) {
  pollfd in{fd, POLLIN, 0};
  if (poll(&in, 1, timeoutMs) != 1) return false;
  char c = 0;
  return read(fd, &c, 1) == 1 && c == expected;
}

// One random step of an editor: pairing, group writes, bypass, host changes.
void RandomEditorStep(Quellbridge& p, std::mt19937& rng) {
  QuellbridgeSHM& r = p.Registry();
  const QBInstanceList others = r.ListInstances();
  const uint64_t someone = others.empty() ? 0 : others[static_cast<int>(rng() % others.size())].instanceId;
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  switch (rng() % 8) {
    case 0: r.SetRemoteId(rng() % 4 == 0 ? 0 : someone); break;
    case 1: {
      QBBand bands[3];
      for (QBBand& b : bands) b = QBBand{20 * (1 + u(rng)), 3000 * (1 + u(rng)), 40 * u(rng), 10 * u(rng), static_cast<uint8_t>(rng() % 2), {}};
      r.WriteBands(rng() % 2 ? SlotTarget::Peer : SlotTarget::Own, static_cast<int>(rng() % 6) - 1, bands);
      break;
    }
    case 2: r.WriteHpLp(rng() % 2 ? SlotTarget::Peer : SlotTarget::Own, 2000 * (1 + u(rng)), 20000 * (1 + u(rng))); break;
    case 3: r.WriteRemoteControls(300 * (1 + u(rng)), 2000 * (1 + u(rng)), 30 * u(rng)); break;
    case 4:
      if (rng() % 2) {
        if (const auto flag = r.ReadBypassOf(r.RemoteId())) r.SetBypassOf(r.RemoteId(), !*flag);
      } else {
        r.SetBypassOf(someone, rng() % 3 == 0);
      }
      break;
    case 5: r.ToggleOwnBypass(); break;
    case 6: {
      const int idx = static_cast<int>(rng() % kNumParams);
      const ParamSpec& spec = kParamSpecs[idx];
      p.SetParameterFromHost(idx, spec.minValue + (spec.maxValue - spec.minValue) * (0.5 + 0.6 * u(rng)));
      break;
    }
    case 7: {
      float attack, release, makeup;
      r.ReadRemoteControls(attack, release, makeup);
      r.ReapStaleSlots();
      break;
    }
  }
}

// The worker process: returns its exit status (0, or the line of a failed check).
int Worker(int index, int toTest, int fromTest) {
  std::vector<std::unique_ptr<qbtest::PluginDriver>> instances;
  for (int i = 0; i < kInstancesPerWorker; ++i) instances.push_back(std::make_unique<qbtest::PluginDriver>(48000, 512));
  for (auto& d : instances) QB_CHILD_CHECK(d->plugin->Registry().IsOpen());
  QB_CHILD_CHECK(Send(toTest, kReady));
  QB_CHILD_CHECK(Receive(fromTest, kGo, kReplyTimeoutMs));

  std::mt19937 rng(1234u + static_cast<unsigned>(index));
  std::vector<std::vector<double>> in(2, std::vector<double>(512));
  bool finite = true;
  long steps = 0;
  for (const Clock::time_point end = Clock::now() + kRunTime; Clock::now() < end; ++steps) {
    for (auto& d : instances) {
      const int frames = 1 + static_cast<int>(rng() % 512);
      in[0].resize(static_cast<size_t>(frames));
      in[1].resize(static_cast<size_t>(frames));
      for (int i = 0; i < frames; ++i) in[0][i] = in[1][i] = 0.5 * std::sin(0.01 * static_cast<double>((steps * 512 + i) * (index + 1)));
      for (const auto& ch : d->Run(in, frames))
        for (double v : ch) finite = finite && std::isfinite(v);
    }
    RandomEditorStep(*instances[rng() % instances.size()]->plugin, rng);
  }
  QB_CHILD_CHECK(finite);
  QB_CHILD_CHECK(steps > 20);
  // At rest until the test has looked at the segment.
  QB_CHILD_CHECK(Send(toTest, kDone));
  QB_CHILD_CHECK(Receive(fromTest, kExit, kReplyTimeoutMs));
  return 0;
}

struct Child {
  pid_t pid = -1;
  int toChild = -1;
  int fromChild = -1;
};

// Waits for the child's exit (bounded); kills it when it does not come.
int Reap(Child& c) {
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    if (waitpid(c.pid, &status, WNOHANG) == c.pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(c.pid, SIGKILL);
  waitpid(c.pid, &status, 0);
  return -2;
}

TEST(ProcessStress, RandomPairingEditsAndBypassAcrossProcesses) {
  qbtest::RemoveSegment();
  std::vector<Child> children;
  // All workers join at the same time. This process has no other thread
  // when it forks.
  for (int w = 0; w < kWorkers; ++w) {
    int down[2], up[2];
    ASSERT_EQ(pipe(down), 0);
    ASSERT_EQ(pipe(up), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(down[1]);
      close(up[0]);
      const int failedLine = Worker(w, up[1], down[0]);
      _exit(failedLine == 0 ? 0 : 1 + failedLine % 255);
    }
    close(down[0]);
    close(up[1]);
    children.push_back(Child{pid, down[1], up[0]});
  }
  for (size_t w = 0; w < children.size(); ++w)
    ASSERT_TRUE(Receive(children[w].fromChild, kReady, kReplyTimeoutMs)) << "worker " << w << " did not start";
  for (Child& c : children) ASSERT_TRUE(Send(c.toChild, kGo));

  bool allDone = true;
  for (size_t w = 0; w < children.size(); ++w) {
    const bool done = Receive(children[w].fromChild, kDone, kReplyTimeoutMs);
    EXPECT_TRUE(done) << "worker " << w << " hung or crashed";
    allDone = allDone && done;
  }
  if (allDone) {
    qbtest::RegistryView view;
    EXPECT_EQ(view.AliveSlots().size(), static_cast<size_t>(kWorkers * kInstancesPerWorker));
    std::string why;
    EXPECT_TRUE(view.PairingsAreMutual(&why)) << why;
  }
  for (Child& c : children) Send(c.toChild, kExit);
  for (size_t w = 0; w < children.size(); ++w) {
    EXPECT_EQ(Reap(children[w]), 0) << "worker " << w;
    close(children[w].toChild);
    close(children[w].fromChild);
  }
}

}  // namespace
