#include "station/byte_ranges.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace ternis {
namespace {

using Ranges = std::vector<ByteRange>;

TEST(ByteRanges, MergesTouchingAndOverlappingRangesAndReportsTheGaps) {
  struct Case {
    const char* what;
    Ranges added;
    std::uint64_t covered;
    Ranges missing_of_100;
  };
  const Case cases[] = {
      {"nothing", {}, 0, {{0, 100}}},
      {"in order, touching", {{0, 10}, {10, 20}, {20, 100}}, 100, {}},
      {"backwards", {{90, 100}, {50, 90}, {0, 50}}, 100, {}},
      {"overlapping", {{0, 30}, {20, 50}, {10, 40}}, 50, {{50, 100}}},
      {"one swallowing others", {{10, 20}, {30, 40}, {5, 60}}, 55, {{0, 5}, {60, 100}}},
      {"bridging a gap", {{0, 10}, {20, 30}, {10, 20}}, 30, {{30, 100}}},
      {"a hole in the middle", {{0, 40}, {60, 100}}, 80, {{40, 60}}},
      {"empty and reversed ranges", {{5, 5}, {9, 3}}, 0, {{0, 100}}},
      {"repeated", {{0, 10}, {0, 10}, {2, 8}}, 10, {{10, 100}}},
  };
  for (const Case& c : cases) {
    ByteRanges set;
    for (const ByteRange& r : c.added) set.Add(r.begin, r.end);
    EXPECT_EQ(set.covered(), c.covered) << c.what;
    EXPECT_EQ(set.Missing(100), c.missing_of_100) << c.what;
    EXPECT_EQ(set.Covers(100), c.missing_of_100.empty()) << c.what;
  }
}

// Against a byte map, with ranges in random order and size.
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
  }
}

TEST(ByteRanges, ReadingInOrderKeepsOneRangeAndClearForgetsIt) {
  ByteRanges set;
  EXPECT_TRUE(set.Covers(0));  // an empty image is always covered
  for (std::uint64_t at = 0; at < 1 << 20; at += 1024) set.Add(at, at + 1024);
  EXPECT_EQ(set.range_count(), 1u);
  EXPECT_TRUE(set.Covers(1 << 20));
  EXPECT_FALSE(set.Covers((1 << 20) + 1));
  set.Clear();
  EXPECT_EQ(set.covered(), 0u);
  EXPECT_EQ(set.Missing(10), (Ranges{{0, 10}}));
}

}  // namespace
}  // namespace ternis
