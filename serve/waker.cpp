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

// Drained first, then open to the next wake. The other way round, a wake
// between the two had its byte drained with the flag left set, and every
// wake after it was taken for one already on its way: the loop slept on.
void Waker::Clear() {
  std::uint64_t count;
  (void)!::read(fd_.get(), &count, sizeof count);
  pending_.store(false);
}

}  // namespace ternis::serve
