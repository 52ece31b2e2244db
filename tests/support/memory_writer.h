#pragma once
// A line that keeps in memory every byte written to it, for testing what
// the engine sends without a port. It can be told to stop part-way through
// a later write, as a real line does when the box stalls, the device goes
// away or the link closes.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "protocol/line_writer.h"

namespace ternis::test {

class MemoryWriter : public LineWriter {
 public:
  WriteResult Write(std::span<const std::uint8_t> bytes) override;

  // Everything written since the last call, in order; clears it.
  std::vector<std::uint8_t> Take();

  // The write that would take the line past `count` more bytes takes only
  // those and returns `status` (with `error`, for kFailed). Once only:
  // later writes are taken whole again, so a writer that carries on after
  // a failure shows up in Take().
  void StopAfter(std::size_t count, WriteStatus status, int error = 0);

  // Write calls so far, empty ones included.
  std::size_t writes() const;

 private:
  struct Stop {
    std::size_t left;
    WriteStatus status;
    int error;
  };

  mutable std::mutex mutex_;
  std::vector<std::uint8_t> bytes_;
  std::optional<Stop> stop_;
  std::size_t writes_ = 0;
};

}  // namespace ternis::test
