#include "sim/sim_line.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace stbsim {

namespace {

speed_t StandardSpeed(unsigned baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return B0;
  }
}

bool MakeRaw(int fd, unsigned baud) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return false;
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  if (baud != 0) {
    ::cfsetispeed(&t, StandardSpeed(baud));
    ::cfsetospeed(&t, StandardSpeed(baud));
  }
  return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

// Points `link` at `target` by renaming a fresh symlink over it, so a tool
// polling the path never finds it missing or half made.
bool PublishLink(const std::string& target, const std::string& link, std::string& error) {
  struct stat st {};
  if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    error = "cannot create " + link + ": " + std::strerror(EEXIST);
    return false;
  }
  const std::string temp = link + ".new-" + std::to_string(::getpid());
  ::unlink(temp.c_str());
  if (::symlink(target.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), link.c_str()) != 0) {
    error = "cannot create " + link + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

std::unique_ptr<SimLine> SimLine::OpenDevice(const std::string& path, unsigned baud,
                                             std::string& error) {
  if (StandardSpeed(baud) == B0) {
    error = "stb-sim drives only standard rates (1200 to 921600)";
    return nullptr;
  }
  std::unique_ptr<SimLine> line(new SimLine);
  line->fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line->fd_ < 0 || !MakeRaw(line->fd_, baud)) {
    error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  line->tool_side_path_ = path;
  return line;
}

std::unique_ptr<SimLine> SimLine::CreatePty(const std::string& link, std::string& error) {
  std::unique_ptr<SimLine> line(new SimLine);
  line->fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128] = {};
  if (line->fd_ < 0 || ::grantpt(line->fd_) != 0 || ::unlockpt(line->fd_) != 0 ||
      ::ptsname_r(line->fd_, name, sizeof name) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return nullptr;
  }
  ::fcntl(line->fd_, F_SETFL, ::fcntl(line->fd_, F_GETFL) | O_NONBLOCK);
  line->tool_side_path_ = name;
  // Until the tool opens its side, the terminal would echo what we send:
  // hold that side open in raw mode ourselves.
  line->tool_side_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line->tool_side_fd_ < 0 || !MakeRaw(line->tool_side_fd_, 0)) {
    error = std::string(name) + ": " + std::strerror(errno);
    return nullptr;
  }
  if (!PublishLink(name, link, error)) return nullptr;
  line->link_ = link;
  return line;
}

SimLine::~SimLine() { Close(); }

void SimLine::Close() {
  if (!link_.empty()) ::unlink(link_.c_str());
  link_.clear();
  // Our own hold on the tool's side goes too: nothing of ours may keep the
  // terminal alive once the tool should see it hung up.
  if (tool_side_fd_ >= 0) ::close(tool_side_fd_);
  tool_side_fd_ = -1;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool SimLine::WriteAll(const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else {
      return false;
    }
  }
  return true;
}

std::size_t SimLine::ReadExactly(std::uint8_t* out, std::size_t size, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd_, out + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    const int wait = RemainingMs(deadline);
    if (wait == 0) break;
    pollfd p{fd_, POLLIN, 0};
    // A signal cuts the wait short; the caller knows whether it meant to stop.
    if (::poll(&p, 1, wait) < 0 && errno == EINTR) break;
  }
  return done;
}

std::size_t SimLine::DrainQuiet(std::chrono::milliseconds quiet) {
  std::size_t dropped = 0;
  std::uint8_t buffer[4096];
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) return dropped;
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) return dropped;
    dropped += static_cast<std::size_t>(n);
  }
}

}  // namespace stbsim
