// The flag store behind the wrapper's output parameter events: ordering of
// gesture and value reports, collapsing, refusal by a full host list, and
// concurrent producers.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "plinth/clap/OutgoingParamChanges.h"

namespace {

using plinth::clap::OutgoingParamChanges;
using Report = OutgoingParamChanges::Report;

std::string Drain(OutgoingParamChanges& q, int refuseAfter = 1 << 30) {
  std::string out;
  int accepted = 0;
  q.Drain([&](Report r, int idx) {
    if (accepted >= refuseAfter) return false;
    ++accepted;
    out += (r == Report::GestureBegin ? "B" : r == Report::Value ? "V" : "E") + std::to_string(idx) + " ";
    return true;
  });
  return out;
}

TEST(OutgoingParamChanges, ReportsInGestureOrder) {
  OutgoingParamChanges q(3);
  EXPECT_FALSE(q.AnyPending());
  q.MarkGestureBegin(1);
  q.MarkValueChanged(1);
  q.MarkValueChanged(1);
  q.MarkGestureEnd(1);
  q.MarkValueChanged(2);
  EXPECT_TRUE(q.AnyPending());
  EXPECT_EQ(Drain(q), "B1 V1 E1 V2 ");
  EXPECT_FALSE(q.AnyPending());
  EXPECT_EQ(Drain(q), "");
}

TEST(OutgoingParamChanges, GesturesSpanningDrains) {
  OutgoingParamChanges q(1);
  q.MarkGestureBegin(0);
  EXPECT_EQ(Drain(q), "B0 ");
  q.MarkValueChanged(0);
  EXPECT_EQ(Drain(q), "V0 ");
  q.MarkValueChanged(0);
  q.MarkGestureEnd(0);
  EXPECT_EQ(Drain(q), "V0 E0 ");
  q.MarkGestureEnd(0);  // an end without a gesture the host knows: nothing
  EXPECT_EQ(Drain(q), "");
}

TEST(OutgoingParamChanges, EndThenNewBeginBetweenDrains) {
  OutgoingParamChanges q(1);
  q.MarkGestureBegin(0);
  EXPECT_EQ(Drain(q), "B0 ");
  q.MarkGestureEnd(0);
  q.MarkGestureBegin(0);
  q.MarkValueChanged(0);
  EXPECT_EQ(Drain(q), "E0 B0 V0 ");
  q.MarkGestureEnd(0);
  EXPECT_EQ(Drain(q), "E0 ");
}

TEST(OutgoingParamChanges, RefusedReportsComeBackNextTime) {
  OutgoingParamChanges q(2);
  q.MarkGestureBegin(0);
  q.MarkValueChanged(0);
  q.MarkGestureEnd(0);
  q.MarkValueChanged(1);
  EXPECT_EQ(Drain(q, 0), "");
  EXPECT_TRUE(q.AnyPending());
  EXPECT_EQ(Drain(q, 1), "B0 ");
  EXPECT_EQ(Drain(q, 1), "V0 ");
  EXPECT_EQ(Drain(q), "E0 V1 ");
  EXPECT_FALSE(q.AnyPending());
}

TEST(OutgoingParamChanges, IgnoresIndicesOutOfRange) {
  OutgoingParamChanges q(2);
  q.MarkValueChanged(-1);
  q.MarkValueChanged(2);
  q.MarkGestureBegin(99);
  EXPECT_FALSE(q.AnyPending());
  OutgoingParamChanges none(0);
  none.MarkValueChanged(0);
  EXPECT_EQ(Drain(none), "");
}

TEST(OutgoingParamChanges, ConcurrentProducersLoseNoChange) {
  OutgoingParamChanges q(8);
  std::atomic<bool> stop{false};
  std::vector<std::thread> producers;
  for (int t = 0; t < 2; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) {
        const int idx = (i + t) % 8;
        q.MarkGestureBegin(idx);
        q.MarkValueChanged(idx);
        q.MarkGestureEnd(idx);
      }
    });
  }
  int open[8] = {};
  bool balanced = true;
  auto consume = [&] {
    q.Drain([&](Report r, int idx) {
      if (r == Report::GestureBegin) balanced &= ++open[idx] == 1;
      if (r == Report::GestureEnd) balanced &= --open[idx] == 0;
      return true;
    });
  };
  std::thread consumer([&] {
    while (!stop.load()) consume();
  });
  for (std::thread& p : producers) p.join();
  stop.store(true);
  consumer.join();
  consume();
  EXPECT_TRUE(balanced);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(open[i], 0) << i;  // every gesture the host saw is closed
  EXPECT_FALSE(q.AnyPending());
}

}  // namespace
