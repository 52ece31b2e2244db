#include "app/log_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ternis {

namespace {

namespace fs = std::filesystem;

fs::path HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/')
    return found->pw_dir;
  return {};
}

// Each missing directory made private (0700), as XDG base directories want;
// existing ones are left as they are.
int MakeDirectories(const fs::path& directory) {
  fs::path partial;
  for (const fs::path& part : directory) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

std::string OneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  line += '\n';
  return line;
}

}  // namespace

LogFile::LogFile(std::filesystem::path path, std::uint64_t rotate_at, int files_kept)
    : path_(std::move(path)), rotate_at_(rotate_at), files_kept_(files_kept) {}

LogFile::~LogFile() = default;

std::filesystem::path LogFile::DefaultPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // A relative XDG_STATE_HOME is invalid and ignored, as for every XDG base directory.
  const fs::path base =
      state != nullptr && state[0] == '/' ? fs::path(state) : HomeDirectory() / ".local" / "state";
  if (base.empty() || base.is_relative()) return {};
  return base / "ternis" / "download.log";
}

bool LogFile::Append(std::string_view line) { return Append(std::vector<std::string>{std::string(line)}); }

bool LogFile::Append(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += OneLine(line);
  if (!fd_.valid() && !Open()) return false;
  if (!MakeRoomFor(bytes.size())) return false;
  // A line cut by an earlier failed write is ended first, so this one stays whole.
  if (line_cut_ && size_ > 0) bytes.insert(bytes.begin(), '\n');
  if (!WriteWhole(bytes)) return Fail("cannot write", errno);
  line_cut_ = false;
  error_.clear();
  return true;
}

bool LogFile::Open() {
  if (path_.empty()) return Fail("no home directory for the log file", 0);
  if (const int error = MakeDirectories(path_.parent_path()); error != 0)
    return Fail("cannot create its directory", error);
  // O_NONBLOCK: something other than a file at the path (a FIFO) must not
  // hold the window; it has no effect on a regular file.
  fd_.reset(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                   0600));
  if (!fd_.valid()) return Fail("cannot open", errno);
  struct stat status {};
  if (::fstat(fd_.get(), &status) != 0) return Fail("cannot open", errno);
  if (!S_ISREG(status.st_mode)) return Fail("not a regular file", 0);
  size_ = static_cast<std::uint64_t>(status.st_size);
  return true;
}

bool LogFile::Fail(const std::string& what, int error_number) {
  error_ = path_.string() + ": " + what;
  if (error_number != 0) error_ += std::string(" (") + std::strerror(error_number) + ")";
  fd_.reset();
  return false;
}

bool LogFile::MakeRoomFor(std::size_t bytes) {
  // The size from the file itself: another instance may be appending too.
  struct stat status {};
  if (::fstat(fd_.get(), &status) == 0) size_ = static_cast<std::uint64_t>(status.st_size);
  if (size_ == 0 || size_ + bytes <= rotate_at_) return true;
  // Another instance holding the lock is rotating this very file: the line
  // belongs before its cut, so it goes here.
  if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return true;
  if (FileIsStillAtPath()) ShiftOlderFiles();
  fd_.reset();  // releases the lock
  return Open();
}

bool LogFile::FileIsStillAtPath() const {
  struct stat ours {};
  struct stat at_path {};
  return ::fstat(fd_.get(), &ours) == 0 && ::stat(path_.c_str(), &at_path) == 0 &&
         ours.st_dev == at_path.st_dev && ours.st_ino == at_path.st_ino;
}

// download.log -> .1 -> .2 ...; renaming over the oldest drops it. A failed
// rename leaves the file in place: it grows past the limit rather than losing lines.
void LogFile::ShiftOlderFiles() {
  if (files_kept_ <= 1) {
    ::unlink(path_.c_str());
    return;
  }
  for (int n = files_kept_ - 1; n >= 1; --n) ::rename(Numbered(n - 1).c_str(), Numbered(n).c_str());
}

std::filesystem::path LogFile::Numbered(int n) const {
  if (n == 0) return path_;
  fs::path numbered = path_;
  numbered += "." + std::to_string(n);
  return numbered;
}

bool LogFile::WriteWhole(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      line_cut_ = line_cut_ || done > 0;
      return false;
    }
    done += static_cast<std::size_t>(n);
    size_ += static_cast<std::uint64_t>(n);
  }
  return true;
}

}  // namespace ternis
