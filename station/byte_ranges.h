#pragma once
// A set of half-open byte ranges [begin, end) of an image: which parts have
// been served to a box. Touching and overlapping ranges merge, so a box
// reading in order keeps one range however many requests it makes.

#include <cstdint>
#include <map>
#include <vector>

namespace ternis {

struct ByteRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;  // one past the last byte
  bool operator==(const ByteRange&) const = default;
};

class ByteRanges {
 public:
  void Add(std::uint64_t begin, std::uint64_t end);
  void Clear();

  // Bytes in the set.
  std::uint64_t covered() const { return covered_; }
  bool Covers(std::uint64_t size) const;
  // The gaps in [0, size), in order.
  std::vector<ByteRange> Missing(std::uint64_t size) const;
  std::size_t range_count() const { return ranges_.size(); }

 private:
  std::map<std::uint64_t, std::uint64_t> ranges_;  // begin -> end, disjoint, not touching
  std::uint64_t covered_ = 0;
};

}  // namespace ternis
