#include "link/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "protocol/constants.h"
#include "protocol/trace.h"

namespace ternis {

namespace {

// No flow control, and the DTR and RTS lines held low (their control is
// off). Drivers without modem lines (pseudo-terminals) refuse: harmless.
void LowerModemLines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)::ioctl(fd, TIOCMBIC, &lines);
}

// Write time-out per byte in ms: 19200 / baud, 0 (no limit) above 19200.
std::uint32_t WriteMsPerByte(std::uint32_t baud) {
  return baud == 0 ? 0 : 19200 / baud;
}

// Linux keeps a nice value per thread, and raising one's own needs no
// privilege; a thread that cannot is merely not nicer.
void RaiseThreadNice(int increment) {
  const pid_t thread = ::gettid();
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
  if (current == -1 && errno != 0) return;
  constexpr int kNicest = 19;
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(thread),
                      current + std::min(increment, kNicest - current));
}

}  // namespace

SerialPort::~SerialPort() {
  Close();
}

std::string SerialPort::PortName(int index) {
  return index < 0 ? std::string() : "COM" + std::to_string(index + 1);
}

bool SerialPort::Open(int index) {
  const auto path = port_paths_.find(PortName(index));
  if (path == port_paths_.end() || path->second.empty()) {
    SetStatus(ENOENT, "Cannot open COM port(Error Code=%d).", ENOENT);
    return false;
  }
  return OpenDevice(path->second);
}

bool SerialPort::OpenPath(const std::string& path) {
  return OpenDevice(path);
}

bool SerialPort::OpenDevice(const std::string& path) {
  if (port_.valid()) {
    // Already open: refuse rather than disturb the running link.
    SetStatus(EBUSY, "Cannot open COM port(Error Code=%d).", EBUSY);
    return false;
  }
  // Without the wake-up descriptor Close could not stop the thread.
  if (!wake_.valid()) wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_.valid()) {
    const int error = errno;
    SetStatus(error, "Cannot open COM port(Error Code=%d).", error);
    return false;
  }
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  // Exclusive: flock stops other programs that lock (and holds for root),
  // TIOCEXCL stops any other open of the tty.
  if (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    SetStatus(error, "Cannot open COM port(Error Code=%d).", error);
    connected_.store(0);
    return false;
  }
  (void)::ioctl(fd.get(), TIOCEXCL);
  saved_line_.Save(fd.get());
  // Whatever arrived before we listened is stale. Purged here rather than
  // in the thread, so nothing sent after Open returns can be lost to it.
  ::tcflush(fd.get(), TCIOFLUSH);

  port_ = std::move(fd);
  device_path_ = path;
  device_lost_.store(false);
  connected_.store(1);
  if (writer_) {
    writer_->SetPort(port_.get());
    writer_->SetCancelFd(wake_.get());
  }
  return StartReceiveThread();
}

bool SerialPort::StartReceiveThread() {
  if (rx_thread_.joinable()) {
    SetStatus(0, "Thread is already running.");
    return true;
  }
  try {
    rx_thread_ = std::thread([this, fd = port_.get(), nice = receive_nice_] { RxEvent(fd, nice); });
  } catch (const std::system_error&) {
    SetStatus(EAGAIN, "It cannot create thread callback function.");
    connected_.store(0);
    return false;  // the port stays open until Close
  }
  return true;
}

bool SerialPort::Configure(std::uint32_t baud, std::uint8_t data_bits, std::uint8_t parity,
                           std::uint8_t stop_bits) {
  if (!port_.valid()) {
    SetStatus(EBADF, "COM port does not be opened.");
    return false;
  }
  line_state_unreadable_ = false;
  if (!ReadLineSettings(port_.get())) {
    const int error = errno;
    line_state_unreadable_ = true;
    SetStatus(error, "It cannot get state of COM port");
    return false;
  }
  if (const int error = ApplyLineSettings(port_.get(), {baud, data_bits, parity, stop_bits})) {
    SetStatus(error, "COM Port Settings Error...:%d", error);
    return false;
  }
  LowerModemLines(port_.get());
  if (writer_) writer_->SetTimeoutPerByte(WriteMsPerByte(baud));
  SetStatus(0, "Connected Successfully");
  return true;
}

void SerialPort::Close() {
  if (!port_.valid()) return;
  connected_.store(0);
  Wake();
  if (rx_thread_.joinable()) rx_thread_.join();
  ClearWake();
  ReleasePort();
  SetStatus(0, "Disconnected");
}

void SerialPort::ReleasePort() {
  if (writer_) writer_->SetPort(-1);  // the number may be reused by the next open file
  (void)::ioctl(port_.get(), TIOCNXCL);
  saved_line_.Restore(port_.get());
  ::flock(port_.get(), LOCK_UN);
  port_.reset();
  device_lost_.store(false);
}

void SerialPort::Wake() {
  const std::uint64_t one = 1;
  (void)!::write(wake_.get(), &one, sizeof one);
}

void SerialPort::ClearWake() {
  std::uint64_t count = 0;
  (void)!::read(wake_.get(), &count, sizeof count);
}

// The receive thread: sleeps in poll() until the box sends or the link
// closes, then drains the port in reads of at most kReadChunk bytes.
void SerialPort::RxEvent(int fd, int nice) {
  if (nice > 0) RaiseThreadNice(nice);
  FrameAssembler assembler;
  std::array<std::uint8_t, kReadChunk> buffer;
  while (connected_.load()) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      ReportLoss(errno);  // nothing more can be read: as good as gone
      break;
    }
    if (fds[1].revents != 0) break;  // closing
    if (!DrainPort(fd, assembler, buffer)) break;
  }
  TERNIS_TRACE("RxEvent Thread exit...\n");
}

// False when the device has gone away.
bool SerialPort::DrainPort(int fd, FrameAssembler& assembler, std::span<std::uint8_t> buffer) {
  while (connected_.load()) {  // checked per read, so closing is bounded
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n > 0) {
      rx_lock_.acquire();
      assembler.Feed(buffer.first(static_cast<std::size_t>(n)),
                     [this](std::span<const std::uint8_t> body) {
                       if (frame_handler_) frame_handler_(body);
                     });
      rx_lock_.release();
      // A short read emptied the queue: poll (level-triggered) says when
      // more comes, which saves the read that would only say EAGAIN.
      if (static_cast<std::size_t>(n) < buffer.size()) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    // A hung-up tty reads 0 after poll said readable; a pty whose other end
    // closed reads EIO. Either way the device is gone, and a level-triggered
    // poll would report it forever: stop here.
    const int error = n == 0 ? EIO : errno;
    TERNIS_TRACE("CommThread::LastError=%d\n", error);
    ReportLoss(error);
    return false;
  }
  return true;
}

void SerialPort::SetStatus(int error, const char* format, ...) {
  last_error_ = error;
  char text[kStatusTextSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  last_status_ = text;
}

// Gone for good: marked before the listener hears of it, so whoever it
// wakes sees the port as lost; Close releases the descriptor.
void SerialPort::ReportLoss(int error) {
  device_lost_.store(true);
  connected_.store(0);
  if (LinkListener* listener = listener_.load()) listener->OnDeviceLost(error);
}

}  // namespace ternis
