#include "link/port_writer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "protocol/constants.h"
#include "protocol/trace.h"

namespace ternis {

namespace {

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

WriteResult PortWriter::Write(std::span<const std::uint8_t> bytes) {
  const int fd = port_fd_.load();
  WriteResult total;
  if (fd < 0 && !bytes.empty()) return {0, WriteStatus::kFailed, EBADF};
  while (total.written < bytes.size()) {
    const std::size_t chunk = std::min(bytes.size() - total.written, kWriteChunk);
    const WriteResult part = WriteChunk(fd, bytes.data() + total.written, chunk);
    total.written += part.written;
    total.status = part.status;
    total.error = part.error;
    if (part.status != WriteStatus::kOk) break;
  }
  return total;
}

// One chunk, within the line's write time-out (per byte of the chunk).
WriteResult PortWriter::WriteChunk(int fd, const std::uint8_t* data, std::size_t count) {
  const std::uint32_t ms_per_byte = ms_per_byte_.load();
  const long long budget_ms = static_cast<long long>(ms_per_byte) * static_cast<long long>(count);
  const long long deadline = ms_per_byte == 0 ? -1 : NowMs() + budget_ms;
  WriteResult result;
  while (result.written < count) {
    const ssize_t n = ::write(fd, data + result.written, count - result.written);
    if (n > 0) {
      result.written += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      result.status = WaitWritable(fd, deadline);
      result.error = result.status == WriteStatus::kFailed ? errno : 0;
      if (result.status != WriteStatus::kOk) break;
    } else {
      TERNIS_TRACE("Write Error : Unknown %d\n", errno);
      result.status = WriteStatus::kFailed;
      result.error = n < 0 ? errno : EIO;
      break;
    }
  }
  return result;
}

WriteStatus PortWriter::WaitWritable(int fd, long long deadline_ms) {
  const int cancel_fd = cancel_fd_.load();
  for (;;) {
    int timeout = -1;
    if (deadline_ms >= 0) {
      const long long left = deadline_ms - NowMs();
      if (left <= 0) return WriteStatus::kTimedOut;
      timeout = static_cast<int>(std::min<long long>(left, 60'000));
    }
    pollfd fds[2] = {{fd, POLLOUT, 0}, {cancel_fd, POLLIN, 0}};
    const int n = ::poll(fds, cancel_fd >= 0 ? 2 : 1, timeout);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return WriteStatus::kFailed;
    if (n == 0) continue;  // re-checks the deadline
    if (cancel_fd >= 0 && fds[1].revents != 0) return WriteStatus::kCancelled;
    if (fds[0].revents & POLLOUT) return WriteStatus::kOk;
    errno = EIO;  // POLLERR or POLLHUP: the device is gone
    return WriteStatus::kFailed;
  }
}

}  // namespace ternis
