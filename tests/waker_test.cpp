// The server's loop wakes for every change another thread makes: one
// thread changes and wakes as fast as it can while the loop clears and
// looks, and no change may be left without a wake.

#include "serve/waker.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>

namespace ternis::serve {
namespace {

TEST(Waker, NoChangeIsLeftWithoutAWake) {
  for (int round = 0; round < 50; ++round) {
    Waker waker;
    ASSERT_TRUE(waker.valid());
    std::atomic<int> changes{0};
    std::atomic<bool> done{false};
    std::thread changer([&] {
      for (int i = 0; i < 100000; ++i) {
        changes.fetch_add(1);
        waker.Wake();
      }
      done = true;
    });
    int seen = 0;
    while (!done) {
      pollfd p{waker.fd(), POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      waker.Clear();
      seen = changes.load();
    }
    changer.join();
    // Every change was looked at, or a wake for it is waiting.
    pollfd p{waker.fd(), POLLIN, 0};
    const bool waiting = ::poll(&p, 1, 0) > 0;
    ASSERT_TRUE(seen == changes.load() || waiting) << "the loop would sleep through a change";
  }
}

}  // namespace
}  // namespace ternis::serve
