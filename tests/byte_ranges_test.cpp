#include "station/byte_ranges.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace ternis {
namespace {

using Ranges = std::vector<ByteRange>;

// Against a byte map, with ranges in random order and size: touching,
// overlapping, swallowing, bridging, repeated and empty ones among them.
TEST(ByteRanges, AgreesWithAByteMap) {
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    constexpr std::uint64_t kSize = 2000;
    std::vector<bool> map(kSize, false);
    ByteRanges set;
    for (int i = 0; i < 40; ++i) {
      const std::uint64_t begin = random() % kSize;
      const std::uint64_t end = std::min<std::uint64_t>(kSize, begin + random() % 200);
      set.Add(begin, end);
      for (std::uint64_t b = begin; b < end; ++b) map[b] = true;
    }
    std::uint64_t count = 0;
    Ranges gaps;
    for (std::uint64_t b = 0; b < kSize; ++b) {
      count += map[b];
      if (!map[b] && (gaps.empty() || gaps.back().end != b)) gaps.push_back({b, b});
      if (!map[b]) gaps.back().end = b + 1;
    }
    ASSERT_EQ(set.covered(), count) << "round " << round;
    ASSERT_EQ(set.Missing(kSize), gaps) << "round " << round;
    ASSERT_EQ(set.Covers(kSize), gaps.empty()) << "round " << round;
  }
}

TEST(ByteRanges, ReadingInEitherOrderKeepsOneRangeAndClearForgetsIt) {
  ByteRanges set;
  EXPECT_TRUE(set.Covers(0));  // an empty image is always covered
  set.Add(5, 5);
  set.Add(9, 3);  // reversed: nothing
  EXPECT_EQ(set.covered(), 0u);
  EXPECT_EQ(set.Missing(100), (Ranges{{0, 100}}));
  for (std::uint64_t at = 0; at < 1 << 20; at += 1024) set.Add(at, at + 1024);
  EXPECT_EQ(set.range_count(), 1u);
  ByteRanges backwards;
  for (std::uint64_t at = 1 << 20; at > 0; at -= 1024) backwards.Add(at - 1024, at);
  EXPECT_EQ(backwards.range_count(), 1u);
  EXPECT_TRUE(set.Covers(1 << 20));
  EXPECT_FALSE(set.Covers((1 << 20) + 1));
  set.Clear();
  EXPECT_EQ(set.covered(), 0u);
  EXPECT_EQ(set.Missing(10), (Ranges{{0, 10}}));
}

}  // namespace
}  // namespace ternis
