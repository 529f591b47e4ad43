// Two qb-peer processes hosting the CLAP module side by side, driven through
// PeerProcess: module loading, parameters, processing statistics, state
// handed from one process to the other, errors and timeouts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "PeerProcess.h"

namespace {

std::vector<char> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string Field(const std::string& stats, const std::string& key) {
  const size_t at = stats.find(key + "=");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 1;
  return stats.substr(start, stats.find(' ', start) - start);
}

class PeerPair : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(a.Running() && b.Running());
    for (qbtest::PeerProcess* p : {&a, &b}) {
      ASSERT_EQ(p->Ok(std::string("load clap ") + QB_CLAP_MODULE_PATH), "0");
      ASSERT_EQ(p->Ok("create"), "0");
    }
    char pattern[] = "/tmp/qb-peer-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    dir = pattern;
  }
  void TearDown() override {
    EXPECT_EQ(a.Quit(), 0);
    EXPECT_EQ(b.Quit(), 0);
    if (!dir.empty()) {
      for (const char* f : {"/a.state", "/b.state"}) unlink((dir + f).c_str());
      rmdir(dir.c_str());
    }
  }

  qbtest::PeerProcess a{QB_PEER_PATH};
  qbtest::PeerProcess b{QB_PEER_PATH};
  std::string dir;
};

TEST_F(PeerPair, TwoProcessesHostAndExchangeState) {
  EXPECT_NE(a.Ok("pid"), b.Ok("pid"));
  EXPECT_EQ(a.Ok("pid"), std::to_string(a.Pid()));

  a.Ok("param 0 0 321");
  a.Ok("param 0 11 3");
  EXPECT_EQ(a.Ok("getparam 0 0"), "321");
  EXPECT_EQ(a.Ok("paramtext 0 0 321"), "321 Hz");
  a.Ok("activate 0 48000 256");
  const std::string stats = a.Ok("process 0 20 sine:440:0.5");
  EXPECT_EQ(Field(stats, "frames"), "5120");
  EXPECT_EQ(Field(stats, "nan"), "0");
  EXPECT_FALSE(Field(stats, "rms0").empty());
  EXPECT_FALSE(Field(stats, "rms1").empty());
  EXPECT_EQ(a.Ok("stats 0"), stats);

  const std::string aFile = dir + "/a.state", bFile = dir + "/b.state";
  const std::string size = a.Ok("save 0 " + aFile);
  EXPECT_EQ(b.Ok("restore 0 " + aFile), size);
  EXPECT_EQ(b.Ok("getparam 0 0"), "321");
  EXPECT_EQ(b.Ok("getparam 0 11"), "3");
  b.Ok("save 0 " + bFile);
  EXPECT_EQ(ReadFile(aFile), ReadFile(bFile));
  EXPECT_FALSE(ReadFile(aFile).empty());

  b.Ok("activate 0 48000 256");
  EXPECT_EQ(a.Ok("latency 0"), b.Ok("latency 0"));
}

TEST_F(PeerPair, FixedSignalsGiveTheSameResultInEveryProcess) {
  for (qbtest::PeerProcess* p : {&a, &b}) {
    p->Ok("create");  // instance 1, defaults
    p->Ok("activate 1 44100 512 sidechain");
  }
  for (const char* signal : {"noise:0.7", "sine:1000:0.25", "silence"}) {
    const std::string command = std::string("process 1 8 ") + signal + " noise:0.3";
    EXPECT_EQ(a.Ok(command), b.Ok(command)) << signal;
  }
  EXPECT_EQ(Field(a.Ok("process 1 4 silence silence"), "maxabs"), "0");
}

TEST_F(PeerPair, BadCommandsAnswerWithErrors) {
  for (const char* command : {"bogus", "", "getparam 5 0", "getparam 0", "param 0 0 abc", "activate 0 -1 256",
                              "process 0 1 sine:x:1", "load vst9 /x", "load clap /nonexistent.clap",
                              "restore 0 /nonexistent/state", "destroy 7"}) {
    const qbtest::PeerProcess::Reply r = a.Send(command);
    EXPECT_FALSE(r.ok) << "'" << command << "'";
    EXPECT_FALSE(r.timedOut) << "'" << command << "'";
  }
  EXPECT_FALSE(a.Send("process 0 1").ok);  // not active yet
  a.Ok("destroy 0");
  EXPECT_FALSE(a.Send("getparam 0 0").ok);
  EXPECT_EQ(a.Ok("create"), "1");
}

TEST_F(PeerPair, TimedOutRepliesDoNotDesynchronise) {
  const qbtest::PeerProcess::Reply slow = a.Send("sleep 300", 20);
  EXPECT_TRUE(slow.timedOut);
  EXPECT_EQ(a.Ok("pid"), std::to_string(a.Pid()));  // the late "ok" of sleep is skipped
  EXPECT_EQ(a.Ok("getparam 0 1"), "5000");
}

}  // namespace
