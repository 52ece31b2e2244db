#include "protocol/stb_responder.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "protocol/constants.h"
#include "protocol/trace.h"

namespace ternis {

namespace {

constexpr std::uint8_t kBootUpAck = 0x0A;
constexpr std::uintptr_t kPercentRange = 100;
constexpr std::array<std::uint8_t, kWriteChunk> kZeros{};

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

void StbResponder::HandleFrame(std::span<const std::uint8_t> body) {
  if (body.empty()) return;
  switch (body[0]) {
    case STB_START:
      if (body.size() == 1) OnBootUp();
      break;
    case STB_DATA_REQ:
      if (body.size() == kDataRequestBodyLength) OnDataRequest(Le16(&body[1]), Le32(&body[3]));
      break;
    case STB_TIME_REQ:
      if (body.size() == 1) OnTimeRequest();
      break;
    default:
      break;
  }
}

void StbResponder::OnBootUp() {
  Post(SM_STB_START);
  const std::uint8_t ack[] = {STB_START, kBootUpAck};
  if (SendFrame(ack)) SendStatus("STB bootup(STB_START).");
  Post(SM_STB_START_DONE);
}

void StbResponder::OnDataRequest(std::uint16_t length, std::uint32_t offset) {
  Post(SM_STB_DATA_REQ);
  SendStatus("Data request has been arrived from STB(STB_DATA_REQ).");

  // Our own reference: a load on the window's thread cannot pull it away.
  const auto image = image_.Acquire();
  if (!image) {
    SendStatus("No file has been specified.");
    return;
  }

  const std::size_t written = WriteImageRange(*image, offset, length);
  requests_served_.fetch_add(1, std::memory_order_relaxed);
  bytes_served_.fetch_add(written, std::memory_order_relaxed);
  if (written != length) TERNIS_TRACE("Error in WriteFile : %d\n", errno);
  TERNIS_TRACE("WriteFile %d bytes started at %d, transimitted %d\n", length,
               static_cast<std::int32_t>(offset), static_cast<int>(written));

  ReportProgress(image->CurrentSize(), offset, length);
  SendStatusf("TX_KEY : %d bytes started at %d", static_cast<int>(length),
              static_cast<std::int32_t>(offset));
}

// The box always receives exactly `length` bytes: what the image holds from
// `offset`, then zeros for any part past its end.
std::size_t StbResponder::WriteImageRange(const ImageSnapshot& image, std::uint32_t offset,
                                          std::uint16_t length) {
  const auto contents = image.contents();
  const std::size_t start = std::min<std::size_t>(offset, contents.size());
  const std::size_t available = std::min<std::size_t>(length, contents.size() - start);
  std::size_t written = WriteRaw(contents.subspan(start, available));
  if (written == available && available < length) written += WriteZeros(length - available);
  return written;
}

std::size_t StbResponder::WriteZeros(std::size_t count) {
  std::size_t written = 0;
  while (written < count) {
    const std::size_t n = std::min(count - written, kZeros.size());
    const std::size_t done = WriteRaw(std::span(kZeros.data(), n));
    written += done;
    if (done < n) break;
  }
  return written;
}

// Progress is the end of this request against the file's size now, in
// 64-bit arithmetic so large images and offsets near 4 GiB read right. An
// empty image is complete.
void StbResponder::ReportProgress(std::uint64_t size, std::uint32_t offset, std::uint16_t length) {
  const std::uint64_t end = std::uint64_t{offset} + length;
  const std::uint64_t percent = size == 0 ? 100 : end * 100 / size;
  Post(SM_PROGRESS, kPercentRange, static_cast<std::intptr_t>(percent));

  if (percent == 99 && finishing_.load(std::memory_order_relaxed) == 0) {
    Post(SM_PROGRESS, kPercentRange, 100);
    finishing_.store(1, std::memory_order_relaxed);
  }
  if (size <= end) {
    Post(SM_PROGRESS, kPercentRange, 100);
    SendStatus("Complete KEY file.");
  }
}

void StbResponder::OnTimeRequest() {
  Post(SM_STB_TIME_REQ);
  const auto date = static_cast<std::uint16_t>(Send(SM_GET_DATE) & 0xFFFF);
  const auto time = static_cast<std::uint32_t>(Send(SM_GET_TIME));
  const std::uint8_t reply[] = {
      STB_TIME_REQ,
      static_cast<std::uint8_t>(date >> 8),
      static_cast<std::uint8_t>(date),
      static_cast<std::uint8_t>(time >> 16),
      static_cast<std::uint8_t>(time >> 8),
      static_cast<std::uint8_t>(time),
  };
  SendFrame(reply);

  if (finishing_.load(std::memory_order_relaxed) == 1) {
    finishing_.store(0, std::memory_order_relaxed);
    Post(SM_PROGRESS, kPercentRange, 100);
    if (OwnerWindow* owner = owner_.load()) owner->update();
  }
  TERNIS_TRACE("STB TIME REQUEST\n");
}

bool StbResponder::SendFrame(std::span<const std::uint8_t> body) {
  std::array<std::uint8_t, kFrameBufferSize> frame;
  if (body.size() + 2 > frame.size()) return false;
  frame[0] = kStx;
  std::copy(body.begin(), body.end(), frame.begin() + 1);
  frame[body.size() + 1] = kEtx;
  return WriteRaw(std::span(frame.data(), body.size() + 2)) == body.size() + 2;
}

std::size_t StbResponder::WriteRaw(std::span<const std::uint8_t> bytes) {
  const int fd = port_fd_.load();
  std::size_t total = 0;
  while (total < bytes.size()) {
    const std::size_t chunk = std::min(bytes.size() - total, kWriteChunk);
    const std::size_t done = WriteChunk(fd, bytes.data() + total, chunk);
    total += done;
    if (done < chunk) break;
  }
  TERNIS_TRACE("%d bytes have sent\n", static_cast<int>(total));
  return total;
}

// One chunk, within the line's write time-out (per byte of the chunk).
std::size_t StbResponder::WriteChunk(int fd, const std::uint8_t* data, std::size_t count) {
  const std::uint32_t ms_per_byte = write_ms_per_byte_.load();
  const long long deadline =
      ms_per_byte == 0 ? -1 : NowMs() + static_cast<long long>(ms_per_byte) * count;
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, data + done, count - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitWritable(fd, deadline)) break;
    } else {
      TERNIS_TRACE("Write Error : Unknown %d\n", errno);
      break;
    }
  }
  return done;
}

// False on time-out, on cancel, or when the port reports an error.
bool StbResponder::WaitWritable(int fd, long long deadline_ms) {
  const int cancel_fd = cancel_fd_.load();
  for (;;) {
    int timeout = -1;
    if (deadline_ms >= 0) {
      const long long left = deadline_ms - NowMs();
      if (left <= 0) return false;
      timeout = static_cast<int>(std::min<long long>(left, 60'000));
    }
    pollfd fds[2] = {{fd, POLLOUT, 0}, {cancel_fd, POLLIN, 0}};
    const int n = ::poll(fds, cancel_fd >= 0 ? 2 : 1, timeout);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) continue;  // re-checks the deadline
    if (cancel_fd >= 0 && fds[1].revents != 0) return false;
    return (fds[0].revents & POLLOUT) != 0;
  }
}

void StbResponder::Post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
  if (OwnerWindow* owner = owner_.load()) owner->post(message, wparam, lparam);
}

std::intptr_t StbResponder::Send(std::uint32_t message, std::uintptr_t wparam,
                                 std::intptr_t lparam) {
  OwnerWindow* owner = owner_.load();
  return owner ? owner->send(message, wparam, lparam) : 0;
}

void StbResponder::SendStatus(const char* text) {
  Send(SM_STATUS_TEXT, 0, reinterpret_cast<std::intptr_t>(text));
}

void StbResponder::SendStatusf(const char* format, ...) {
  char text[kStatusTextSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  SendStatus(text);
}

}  // namespace ternis
