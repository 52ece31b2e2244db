#pragma once
// What the core needs of the main window: somewhere to post its messages.
// Nothing waits for the window: the receive thread answers the box at its
// own pace however busy the window is.

#include "app/window_message.h"

namespace ternis {

class OwnerWindow {
 public:
  virtual ~OwnerWindow() = default;

  // Queues a message and returns at once; never blocks.
  virtual void Post(WindowMessage message) = 0;
};

}  // namespace ternis
