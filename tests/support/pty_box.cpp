#include "tests/support/pty_box.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

namespace ternis::test {

PtyBox::PtyBox() {
  char name[256] = {};
  if (::openpty(&box_fd_, &port_fd_, name, nullptr, nullptr) != 0)
    throw std::runtime_error("openpty failed");
  port_path_ = name;
  termios raw{};
  ::tcgetattr(port_fd_, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(port_fd_, TCSANOW, &raw);
  ::fcntl(port_fd_, F_SETFL, ::fcntl(port_fd_, F_GETFL) | O_NONBLOCK);
  if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  drainer_ = std::thread([this] { Drain(); });
}

PtyBox::~PtyBox() {
  StopDraining();
  if (box_fd_ >= 0) ::close(box_fd_);
  if (port_fd_ >= 0) ::close(port_fd_);
  ::close(stop_pipe_[0]);
  ::close(stop_pipe_[1]);
}

void PtyBox::Drain() {
  std::uint8_t buffer[8192];
  for (;;) {
    pollfd fds[2] = {{box_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const ssize_t n = ::read(box_fd_, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return;  // the port side is gone
    }
    std::lock_guard lock(mutex_);
    received_.insert(received_.end(), buffer, buffer + n);
    arrived_.notify_all();
  }
}

std::vector<std::uint8_t> PtyBox::Take(std::size_t count, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, limit, [&] { return received_.size() >= count; });
  const std::size_t n = std::min(count, received_.size());
  std::vector<std::uint8_t> out(received_.begin(), received_.begin() + static_cast<long>(n));
  received_.erase(received_.begin(), received_.begin() + static_cast<long>(n));
  return out;
}

std::vector<std::uint8_t> PtyBox::TakeAll(std::chrono::milliseconds quiet) {
  std::this_thread::sleep_for(quiet);
  std::lock_guard lock(mutex_);
  return std::exchange(received_, {});
}

void PtyBox::Send(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(box_fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write to box side failed");
    done += static_cast<std::size_t>(n);
  }
}

void PtyBox::StopDraining() {
  if (!drainer_.joinable()) return;
  const char stop = 1;
  (void)!::write(stop_pipe_[1], &stop, 1);
  drainer_.join();
}

void PtyBox::Hangup() {
  StopDraining();
  ::close(box_fd_);
  box_fd_ = -1;
}

}  // namespace ternis::test
