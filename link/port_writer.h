#pragma once
// Writes the engine's replies to a non-blocking port: chunks of at most
// 4095 bytes, each within the line's time limit (a number of ms per byte),
// and gives up at once when the cancel descriptor turns readable (the link
// is closing). Runs on the receive thread; the descriptors and the limit
// are set by the owner's thread while no frame is being handled.

#include <atomic>
#include <cstdint>

#include "protocol/line_writer.h"

namespace ternis {

class PortWriter : public LineWriter {
 public:
  WriteResult Write(std::span<const std::uint8_t> bytes) override;

  void SetPort(int fd) { port_fd_.store(fd); }
  // -1 for none.
  void SetCancelFd(int fd) { cancel_fd_.store(fd); }
  // Milliseconds a write may take per byte (19200 / baud); 0 for no limit.
  void SetTimeoutPerByte(std::uint32_t ms) { ms_per_byte_.store(ms); }

 private:
  WriteResult WriteChunk(int fd, const std::uint8_t* data, std::size_t count);
  WriteStatus WaitWritable(int fd, long long deadline_ms);

  std::atomic<int> port_fd_{-1};
  std::atomic<int> cancel_fd_{-1};
  std::atomic<std::uint32_t> ms_per_byte_{0};
};

}  // namespace ternis
