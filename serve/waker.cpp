#include "serve/waker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace ternis::serve {

Waker::Waker() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Waker::Wake() {
  if (pending_.exchange(true)) return;
  const std::uint64_t one = 1;
  (void)!::write(fd_.get(), &one, sizeof one);
}

void Waker::Clear() {
  pending_.store(false);
  std::uint64_t count;
  (void)!::read(fd_.get(), &count, sizeof count);
}

}  // namespace ternis::serve
