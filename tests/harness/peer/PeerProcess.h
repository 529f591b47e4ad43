#pragma once
// Test-side client of qb-peer: spawns the helper with a socket on its stdin
// and stdout, sends one command at a time and waits (bounded) for the reply.
// Children inherit the test's private /dev/shm.

#include <sys/types.h>

#include <string>

namespace qbtest {

class PeerProcess {
 public:
  struct Reply {
    bool ok = false;        // the peer answered "ok ..."
    std::string text;       // the rest of the line ("error ..." text when !ok)
    bool timedOut = false;  // no complete line in time (or the peer is gone)
  };

  // Starts the executable; Running() tells whether that worked.
  explicit PeerProcess(const std::string& executable);
  ~PeerProcess();  // quits politely, then kills after a grace period
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool Running() const { return mPid > 0; }
  pid_t Pid() const { return mPid; }

  // A command that timed out keeps its reply: the next Send skips it first.
  Reply Send(const std::string& command, int timeoutMs = 20000);
  // Send, and the reply text when it was "ok"; otherwise records a test failure.
  std::string Ok(const std::string& command, int timeoutMs = 20000);

  // Sends quit and waits for the exit; returns the exit status (-1 if killed or lost).
  int Quit(int timeoutMs = 10000);

 private:
  bool ReadLine(std::string& line, int timeoutMs);
  int Reap(int timeoutMs);

  pid_t mPid = -1;
  int mFd = -1;
  std::string mBuffer;
  int mLateReplies = 0;  // replies to commands that timed out, still to be skipped
};

}  // namespace qbtest
