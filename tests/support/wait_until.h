#pragma once
// Waiting on a condition instead of sleeping a guessed time: polls
// `done` until it holds or `limit` passes. For the window's thread use
// PumpUntil (window_env.h), which turns the event loop meanwhile.

#include <chrono>
#include <thread>

namespace ternis::test {

template <typename Condition>
bool WaitUntil(Condition done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace ternis::test
