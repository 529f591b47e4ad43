// IByteChunk: layout and bounds of every read.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "plinth/ByteChunk.h"

namespace {

using plinth::IByteChunk;

TEST(IByteChunk, ValuesAreStoredLittleEndianBackToBack) {
  IByteChunk c;
  const uint32_t a = 0x11223344u;
  const uint16_t b = 0xA1B2u;
  const double d = 1.0;
  EXPECT_EQ(c.Put(&a), 4);
  EXPECT_EQ(c.Put(&b), 6);
  EXPECT_EQ(c.Put(&d), 14);
  const uint8_t expected[] = {0x44, 0x33, 0x22, 0x11, 0xB2, 0xA1, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
  ASSERT_EQ(c.Size(), 14);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(c.GetData()[i], expected[i]) << i;

  uint32_t a2 = 0;
  uint16_t b2 = 0;
  double d2 = 0;
  int pos = c.Get(&a2, 0);
  pos = c.Get(&b2, pos);
  pos = c.Get(&d2, pos);
  EXPECT_EQ(pos, 14);
  EXPECT_EQ(a2, a);
  EXPECT_EQ(b2, b);
  EXPECT_EQ(d2, d);
}

TEST(IByteChunk, EveryReadIsBoundsChecked) {
  IByteChunk c;
  const uint8_t bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  c.PutBytes(bytes, 10);
  struct Case {
    int size, pos, result;
  } cases[] = {
      {4, 0, 4},   {4, 6, 10},  {4, 7, -1},  {1, 10, -1},  {0, 10, 10}, {10, 0, 10}, {11, 0, -1},
      {4, -1, -1}, {0, -5, -1}, {-1, 0, -1}, {4, std::numeric_limits<int>::max(), -1},
      {std::numeric_limits<int>::max(), 1, -1},
  };
  for (const Case& k : cases) {
    uint8_t dest[16];
    std::memset(dest, 0xEE, sizeof dest);
    const int got = c.GetBytes(dest, k.size, k.pos);
    EXPECT_EQ(got, k.result) << "size " << k.size << " at " << k.pos;
    if (got < 0) {
      for (uint8_t x : dest) ASSERT_EQ(x, 0xEE) << "a failed read must not write";
    }
  }
  int64_t big = 7;
  IByteChunk shortChunk;
  shortChunk.PutBytes(bytes, 7);
  EXPECT_EQ(shortChunk.Get(&big, 0), -1);
  EXPECT_EQ(big, 7);
  EXPECT_EQ(shortChunk.Get(&big, -1), -1);
}

TEST(IByteChunk, PutIgnoresEmptyInputAndAssignReplaces) {
  IByteChunk c;
  EXPECT_EQ(c.PutBytes(nullptr, 5), 0);
  const uint8_t x[3] = {9, 8, 7};
  EXPECT_EQ(c.PutBytes(x, 0), 0);
  EXPECT_EQ(c.PutBytes(x, -2), 0);
  c.PutBytes(x, 3);
  c.Assign(x + 1, 2);
  ASSERT_EQ(c.Size(), 2);
  EXPECT_EQ(c.GetData()[0], 8);
  c.Resize(-4);
  EXPECT_EQ(c.Size(), 0);
  EXPECT_FALSE(c.Has(0, 1));
  EXPECT_TRUE(c.Has(0, 0));
}

}  // namespace
