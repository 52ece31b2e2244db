#pragma once
// What the core needs of the main window: somewhere to post progress,
// events and status texts. Nothing waits for the window: the receive
// thread answers the box at its own pace however busy the window is.

#include <cstdint>
#include <string>

namespace ternis {

class OwnerWindow {
 public:
  virtual ~OwnerWindow() = default;

  // Queues a message and returns at once.
  virtual void post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) = 0;

  // Queues a text message (SM_STATUS_TEXT, SM_NOTIFY_ERROR_CODE) with its
  // own copy of the text; the handler gets lparam pointing to that copy.
  virtual void postText(std::uint32_t message, std::uintptr_t wparam, std::string text) = 0;

  // Asks for a repaint as soon as possible; never blocks.
  virtual void update() {}
};

}  // namespace ternis
