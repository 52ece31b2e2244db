#include "protocol/image_bytes.h"

#include <string.h>  // explicit_bzero
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <utility>

namespace ternis {

namespace {

std::atomic<ImageBytes::ReleaseHook> g_release_hook{nullptr};

// Core dumps are a process-wide matter: off while any secret is held, back
// to what they were when the last one goes.
class DumpGuard {
 public:
  static void Hold() {
    std::lock_guard lock(mutex_);
    if (held_++ == 0) {
      was_dumpable_ = ::prctl(PR_GET_DUMPABLE) > 0;
      (void)::prctl(PR_SET_DUMPABLE, 0);
    }
  }
  static void Drop() {
    std::lock_guard lock(mutex_);
    if (--held_ == 0 && was_dumpable_) (void)::prctl(PR_SET_DUMPABLE, 1);
  }

 private:
  static inline std::mutex mutex_;
  static inline int held_ = 0;
  static inline bool was_dumpable_ = true;
};

std::size_t PageRounded(std::size_t size) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (std::max<std::size_t>(size, 1) + page - 1) / page * page;
}

}  // namespace

ImageBytes::ImageBytes(std::size_t size, bool secret) : size_(size), secret_(secret) {
  mapped_ = PageRounded(size);
  void* pages = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) {
    mapped_ = 0;
    return;
  }
  data_ = static_cast<std::uint8_t*>(pages);
  if (secret_) {
    DumpGuard::Hold();
    (void)::madvise(pages, mapped_, MADV_DONTDUMP);
    locked_ = ::mlock(pages, mapped_) == 0;
  }
}

ImageBytes::~ImageBytes() {
  Release();
}

ImageBytes::ImageBytes(ImageBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)),
      secret_(std::exchange(other.secret_, false)),
      locked_(std::exchange(other.locked_, false)) {}

ImageBytes& ImageBytes::operator=(ImageBytes&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
    secret_ = std::exchange(other.secret_, false);
    locked_ = std::exchange(other.locked_, false);
  }
  return *this;
}

void ImageBytes::Release() {
  if (!data_) return;
  explicit_bzero(data_, mapped_);
  if (ReleaseHook hook = g_release_hook.load()) hook({data_, size_});
  if (locked_) (void)::munlock(data_, mapped_);
  ::munmap(data_, mapped_);
  if (secret_) DumpGuard::Drop();
  data_ = nullptr;
}

void ImageBytes::SetReleaseHookForTest(ReleaseHook hook) {
  g_release_hook.store(hook);
}

}  // namespace ternis
