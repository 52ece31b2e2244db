#pragma once
// How a box session judges a unit and keeps its link.

#include <chrono>

namespace ternis {

struct SessionOptions {
  std::chrono::milliseconds unit_timeout{std::chrono::seconds(30)};   // 0: never
  std::chrono::milliseconds retry_interval{std::chrono::seconds(1)};  // a missing device
  // A device that is there but cannot be opened (permission, held elsewhere).
  std::chrono::milliseconds retry_after_error{std::chrono::seconds(3)};
  // Keep trying a device that could not be opened at all (the server); one
  // that was lost after working is always tried again.
  bool wait_for_missing = false;
  // Added to the receive thread's nice value, so that a window's own thread
  // keeps painting while every slot serves at full speed.
  int receive_nice = 0;
};

}  // namespace ternis
