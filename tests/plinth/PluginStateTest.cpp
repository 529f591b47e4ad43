// Plugin::SerializeParams / UnserializeParams, MakePlug and the channel I/O parser.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "plinth/ChannelIO.h"
#include "plinth/MakePlug.h"
#include "plinth/Plugin.h"

namespace {

plinth::Config ThreeParams() {
  plinth::Config c;
  c.nParams = 3;
  c.channelIOStr = "2-2";
  return c;
}

class Recording : public plinth::Plugin {
 public:
  explicit Recording(const plinth::InstanceInfo& info) : plinth::Plugin(info, ThreeParams()) {
    GetParam(0)->InitDouble("A", 1, 0, 10, 0.5);
    GetParam(1)->InitDouble("B", -3, -6, 6, 0.1, "dB");
    GetParam(2)->InitInt("C", 2, 0, 4);
  }
  void OnParamChange(int idx) override { changes.push_back(idx); }
  std::vector<int> changes;
};

void PutDoubles(plinth::IByteChunk& c, std::initializer_list<double> values) {
  for (double v : values) c.Put(&v);
}

TEST(PluginState, SerializesEveryParameterAsADoubleInIndexOrder) {
  Recording p({});
  p.GetParam(0)->Set(7.5);
  p.GetParam(1)->Set(2.2);
  p.GetParam(2)->Set(4);
  plinth::IByteChunk chunk;
  const uint8_t prefix = 0xAB;
  chunk.Put(&prefix);
  ASSERT_TRUE(p.SerializeParams(chunk));
  ASSERT_EQ(chunk.Size(), 1 + 3 * 8);
  double v[3];
  std::memcpy(v, chunk.GetData() + 1, sizeof v);
  EXPECT_EQ(v[0], 7.5);
  EXPECT_EQ(v[1], 2.2);
  EXPECT_EQ(v[2], 4.0);

  Recording q({});
  EXPECT_EQ(q.UnserializeParams(chunk, 1), 25);
  EXPECT_EQ(q.GetParam(0)->Value(), 7.5);
  EXPECT_EQ(q.GetParam(1)->Value(), 2.2);
  EXPECT_EQ(q.GetParam(2)->Value(), 4.0);
  EXPECT_EQ(q.changes, (std::vector<int>{0, 1, 2}));
}

TEST(PluginState, ReadsConstrainAndSkipNonFiniteValues) {
  Recording p({});
  plinth::IByteChunk chunk;
  PutDoubles(chunk, {std::nan(""), 99.0, std::numeric_limits<double>::infinity()});
  EXPECT_EQ(p.UnserializeParams(chunk, 0), 24);
  EXPECT_EQ(p.GetParam(0)->Value(), 1.0);  // NaN: unchanged
  EXPECT_EQ(p.GetParam(1)->Value(), 6.0);  // clamped
  EXPECT_EQ(p.GetParam(2)->Value(), 2.0);  // infinity: unchanged
}

TEST(PluginState, PartialBlockSetsWhatIsThereAndReportsFailure) {
  Recording p({});
  plinth::IByteChunk chunk;
  PutDoubles(chunk, {4.0});
  const uint8_t stray[3] = {1, 2, 3};
  chunk.PutBytes(stray, 3);  // 8 + 3 bytes: the second double is cut
  EXPECT_EQ(p.UnserializeParams(chunk, 0), -1);
  EXPECT_EQ(p.GetParam(0)->Value(), 4.0);
  EXPECT_EQ(p.GetParam(1)->Value(), -3.0);
  EXPECT_EQ(p.GetParam(2)->Value(), 2.0);
  EXPECT_EQ(p.changes.size(), 3u);  // listeners still hear about every parameter

  Recording q({});
  EXPECT_EQ(q.UnserializeParams(chunk, -1), -1);
  EXPECT_EQ(q.UnserializeParams(chunk, 1000), -1);
  EXPECT_EQ(q.GetParam(0)->Value(), 1.0);
}

TEST(PluginState, HostSetIgnoresUnknownIdsAndNonFiniteValues) {
  Recording p({});
  p.SetParameterFromHost(1, 4.44);
  p.SetParameterFromHost(7, 1.0);
  p.SetParameterFromHost(-1, 1.0);
  p.SetParameterFromHost(0, std::nan(""));
  EXPECT_EQ(p.GetParam(1)->Value(), 4.44);
  EXPECT_EQ(p.GetParam(0)->Value(), 1.0);
  EXPECT_EQ(p.changes, (std::vector<int>{1}));
}

class alignas(64) Aligned : public Recording {
 public:
  explicit Aligned(const plinth::InstanceInfo& info) : Recording(info) {
    // Constructions are serialised: nobody else may be inside a constructor now.
    EXPECT_EQ(sInside.fetch_add(1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    sInside.fetch_sub(1);
  }
  static inline std::atomic<int> sInside{0};
  char payload[3];
};

TEST(MakePlug, AlignsAndSerialisesConstructions) {
  int host = 0;
  plinth::InstanceInfo info;
  info.formatHost = &host;
  std::vector<std::thread> threads;
  std::atomic<int> misaligned{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        std::unique_ptr<plinth::Plugin> p(plinth::MakePlug<Aligned>(info));
        if (reinterpret_cast<uintptr_t>(p.get()) % 64 != 0) misaligned.fetch_add(1);
        if (p->GetInstanceInfo().formatHost != &host) misaligned.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(misaligned.load(), 0);
}

TEST(MakePlug, ConstructionMutexIsRecursive) {
  // A constructor that itself makes a plug-in (nested module work) must not deadlock.
  plinth::ConstructionMutex& m = plinth::ConstructionMutex::Get();
  m.lock();
  std::unique_ptr<plinth::Plugin> p(plinth::MakePlug<Recording>({}));
  m.unlock();
  EXPECT_TRUE(p);
}

TEST(ChannelIO, ParsesConfigurationsAndBuses) {
  const std::vector<plinth::BusLayout> l = plinth::ParseChannelIO("2-2 2.2-2");
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0].inputBuses, (std::vector<int>{2}));
  EXPECT_EQ(l[0].outputBuses, (std::vector<int>{2}));
  EXPECT_EQ(l[1].inputBuses, (std::vector<int>{2, 2}));
  EXPECT_EQ(l[1].outputBuses, (std::vector<int>{2}));
  EXPECT_EQ(plinth::MaxInputBuses(l), 2);
  EXPECT_EQ(plinth::MaxOutputBuses(l), 1);
  EXPECT_EQ(plinth::MaxInputChannels(l), 4);
  EXPECT_EQ(plinth::MaxOutputChannels(l), 2);
}

TEST(ChannelIO, SkipsMalformedConfigurations) {
  struct Case {
    const char* text;
    size_t layouts;
  } cases[] = {
      {"", 0},         {"  ", 0},       {"2", 0},          {"-2", 0},      {"2-", 0},       {"2..2-2", 0},
      {"a-2", 0},      {"0-2", 0},      {"65-2", 0},       {"2-2-2", 0},   {"1-1  2-2", 2}, {"x 2.2-2 3-", 1},
      {"64-64", 1},    {"2.-2", 0},     {"+2-2", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(plinth::ParseChannelIO(c.text).size(), c.layouts) << "'" << c.text << "'";
  EXPECT_TRUE(plinth::ParseChannelIO(nullptr).empty());
  EXPECT_EQ(plinth::MaxInputChannels({}), 0);
}

}  // namespace
