#pragma once
// What the core needs of the main window: somewhere to post progress and
// events, and someone to ask (synchronously) for status handling and the time.

#include <cstdint>

namespace ternis {

class OwnerWindow {
 public:
  virtual ~OwnerWindow() = default;

  // Queues a message and returns at once.
  virtual void post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) = 0;

  // Runs the message's handler on the window's thread and returns its result.
  // Pointers passed in lparam are valid only during the call. An
  // implementation gives up (returns 0) when the link is closing, so a
  // closing port never waits on a busy window or the other way round.
  virtual std::intptr_t send(std::uint32_t message, std::uintptr_t wparam,
                             std::intptr_t lparam) = 0;

  // Asks for a repaint as soon as possible; never blocks.
  virtual void update() {}
};

}  // namespace ternis
