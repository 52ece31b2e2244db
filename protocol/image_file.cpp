#include "protocol/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace ternis {

namespace {

bool ReadExactly(int fd, std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n == 0) errno = EIO;  // the file shrank under us
      return false;
    }
  }
  return true;
}

std::shared_ptr<const ImageSnapshot> Fail(int* error, int value) {
  if (error) *error = value;
  return nullptr;
}

}  // namespace

std::shared_ptr<const ImageSnapshot> ImageSnapshot::Load(const std::string& path, int* error,
                                                         bool secret) {
  // O_NONBLOCK so that a FIFO named by mistake cannot hang the window; it
  // has no effect on the regular files we accept.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return Fail(error, errno);

  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Fail(error, errno);
  if (S_ISDIR(st.st_mode)) return Fail(error, EISDIR);
  if (!S_ISREG(st.st_mode)) return Fail(error, EINVAL);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > kMaxSize) return Fail(error, EFBIG);

  ImageBytes bytes(static_cast<std::size_t>(size), secret);
  if (!bytes.valid()) return Fail(error, ENOMEM);
  if (!ReadExactly(fd.get(), bytes.data(), bytes.size())) return Fail(error, errno ? errno : EIO);
  return std::make_shared<const ImageSnapshot>(std::move(fd), std::move(bytes));
}

std::uint64_t ImageSnapshot::NextId() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t ImageSnapshot::CurrentSize() const {
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return bytes_.size();
  return static_cast<std::uint64_t>(st.st_size);
}

// The new image replaces the old in one step, so a request never finds the
// gap between them; a failed load leaves none.
bool ImageFile::LoadImageFile(const std::string& path, bool secret) {
  auto snapshot = ImageSnapshot::Load(path, nullptr, secret);
  const bool ok = snapshot != nullptr;
  Replace(std::move(snapshot));
  return ok;
}

void ImageFile::Clear() {
  Replace(nullptr);
}

std::shared_ptr<const ImageSnapshot> ImageFile::Acquire() const {
  std::lock_guard lock(mutex_);
  return current_;
}

void ImageFile::Replace(std::shared_ptr<const ImageSnapshot> snapshot) {
  {
    std::lock_guard lock(mutex_);
    current_.swap(snapshot);
  }
  // The old image, if this was its last reference, is freed here, outside the lock.
}

}  // namespace ternis
