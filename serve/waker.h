#pragma once
// Wakes the server's main loop from any thread; wakes that come before the
// loop has looked are one wake.

#include <atomic>

#include "protocol/unique_fd.h"

namespace ternis::serve {

class Waker {
 public:
  Waker();
  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  void Wake();
  // Before the loop looks at the slots, so a change after that wakes it again.
  void Clear();

 private:
  UniqueFd fd_;
  std::atomic<bool> pending_{false};
};

}  // namespace ternis::serve
