#include "PeerProcess.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace qbtest {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PeerProcess::PeerProcess(const std::string& executable) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  std::string exe = executable;
  char* argv[] = {exe.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return;
  }
  mPid = pid;
  mFd = fds[0];
}

PeerProcess::~PeerProcess() {
  if (mPid > 0) Quit(5000);
  if (mFd >= 0) close(mFd);
}

bool PeerProcess::ReadLine(std::string& line, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t nl = mBuffer.find('\n');
    if (nl != std::string::npos) {
      line = mBuffer.substr(0, nl);
      mBuffer.erase(0, nl + 1);
      return true;
    }
    pollfd p{mFd, POLLIN, 0};
    const int ready = poll(&p, 1, RemainingMs(deadline));
    if (ready <= 0) return false;  // timed out (or interrupted: give up rather than spin)
    char chunk[4096];
    const ssize_t n = recv(mFd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;  // the peer closed its end
    mBuffer.append(chunk, static_cast<size_t>(n));
  }
}

PeerProcess::Reply PeerProcess::Send(const std::string& command, int timeoutMs) {
  Reply reply;
  if (mFd < 0) {
    reply.timedOut = true;
    reply.text = "peer not running";
    return reply;
  }
  std::string answer;
  while (mLateReplies > 0) {
    if (!ReadLine(answer, timeoutMs)) {
      reply.timedOut = true;
      reply.text = "peer still busy with an earlier command";
      return reply;
    }
    --mLateReplies;
  }
  const std::string line = command + "\n";
  size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n = send(mFd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      reply.timedOut = true;
      reply.text = "peer gone";
      return reply;
    }
    sent += static_cast<size_t>(n);
  }
  if (!ReadLine(answer, timeoutMs)) {
    ++mLateReplies;
    reply.timedOut = true;
    reply.text = "no reply to '" + command + "'";
    return reply;
  }
  if (answer == "ok" || answer.rfind("ok ", 0) == 0) {
    reply.ok = true;
    reply.text = answer.size() > 3 ? answer.substr(3) : "";
  } else {
    reply.text = answer.rfind("error ", 0) == 0 ? answer.substr(6) : answer;
  }
  return reply;
}

std::string PeerProcess::Ok(const std::string& command, int timeoutMs) {
  const Reply r = Send(command, timeoutMs);
  EXPECT_TRUE(r.ok) << "peer " << mPid << " '" << command << "': " << r.text;
  return r.ok ? r.text : std::string();
}

int PeerProcess::Reap(int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(mPid, &status, WNOHANG);
    if (done == mPid) {
      mPid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (done < 0) {
      mPid = -1;
      return -1;
    }
    if (RemainingMs(deadline) == 0) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int PeerProcess::Quit(int timeoutMs) {
  if (mPid <= 0) return -1;
  Send("quit", timeoutMs);
  const int status = Reap(timeoutMs);
  if (status != -2) return status;
  kill(mPid, SIGKILL);
  Reap(5000);
  return -1;
}

}  // namespace qbtest
