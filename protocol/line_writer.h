#pragma once
// Where the engine's replies go. The link writes to the port (chunks of at
// most 4095 bytes, a time limit per byte, given up when the link closes);
// tests write to memory. The engine itself does no I/O.

#include <cstddef>
#include <cstdint>
#include <span>

namespace ternis {

enum class WriteStatus : std::uint8_t {
  kOk,
  kFailed,     // the line refused the bytes (device gone, no port)
  kTimedOut,   // the box stopped taking bytes within the line's time limit
  kCancelled,  // the link is closing
};

struct WriteResult {
  std::size_t written = 0;
  WriteStatus status = WriteStatus::kOk;
  int error = 0;  // errno behind kFailed
};

class LineWriter {
 public:
  virtual ~LineWriter() = default;
  // Writes all of `bytes` or stops at the first failure; says which.
  virtual WriteResult Write(std::span<const std::uint8_t> bytes) = 0;
};

const char* WriteStatusName(WriteStatus status);

}  // namespace ternis
