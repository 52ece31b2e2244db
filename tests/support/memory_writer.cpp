#include "tests/support/memory_writer.h"

#include <utility>

namespace ternis::test {

WriteResult MemoryWriter::Write(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  ++writes_;
  if (stop_ && bytes.size() > stop_->left) {
    const Stop stop = *std::exchange(stop_, std::nullopt);
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.begin() + static_cast<long>(stop.left));
    return {stop.left, stop.status, stop.error};
  }
  if (stop_) stop_->left -= bytes.size();
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return {bytes.size(), WriteStatus::kOk, 0};
}

std::vector<std::uint8_t> MemoryWriter::Take() {
  std::lock_guard lock(mutex_);
  return std::exchange(bytes_, {});
}

void MemoryWriter::StopAfter(std::size_t count, WriteStatus status, int error) {
  std::lock_guard lock(mutex_);
  stop_ = Stop{count, status, error};
}

std::size_t MemoryWriter::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

}  // namespace ternis::test
