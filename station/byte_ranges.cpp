#include "station/byte_ranges.h"

#include <algorithm>
#include <iterator>

namespace ternis {

// Extends a range in place where it can, so a box reading in order costs
// no allocation per request.
void ByteRanges::Add(std::uint64_t begin, std::uint64_t end) {
  if (begin >= end) return;
  auto it = ranges_.upper_bound(begin);
  if (it != ranges_.begin() && std::prev(it)->second >= begin) {
    --it;
    if (it->second >= end) return;  // nothing new
    covered_ -= it->second - it->first;
    it->second = end;
  } else {
    it = ranges_.emplace_hint(it, begin, end);
  }
  for (auto next = std::next(it); next != ranges_.end() && next->first <= it->second;) {
    it->second = std::max(it->second, next->second);
    covered_ -= next->second - next->first;
    next = ranges_.erase(next);
  }
  covered_ += it->second - it->first;
}

void ByteRanges::Clear() {
  ranges_.clear();
  covered_ = 0;
}

bool ByteRanges::Covers(std::uint64_t size) const {
  if (size == 0) return true;
  return ranges_.size() == 1 && ranges_.begin()->first == 0 && ranges_.begin()->second >= size;
}

std::vector<ByteRange> ByteRanges::Missing(std::uint64_t size) const {
  std::vector<ByteRange> gaps;
  std::uint64_t at = 0;
  for (const auto& [begin, end] : ranges_) {
    if (begin >= size) break;
    if (begin > at) gaps.push_back({at, begin});
    at = std::max(at, end);
  }
  if (at < size) gaps.push_back({at, size});
  return gaps;
}

}  // namespace ternis
