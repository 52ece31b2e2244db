#include "station/byte_ranges.h"

#include <gtest/gtest.h>

#include <vector>

namespace ternis {
namespace {

using Ranges = std::vector<ByteRange>;

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
