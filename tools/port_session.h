#pragma once
// One served port's view of the exchange, fed by the engine's messages on
// that port's receive thread: it answers the date and time queries, passes
// status lines to the console, and keeps what the progress line shows.

#include <atomic>
#include <cstdint>
#include <string>

#include "protocol/owner_window.h"
#include "tools/progress_console.h"

namespace ternis {
class StbResponder;
}

namespace ternis::serve {

class PortSession : public OwnerWindow {
 public:
  // `wake_fd` is an eventfd written whenever the view changes.
  PortSession(std::string device, const StbResponder& engine, ProgressConsole& console,
              bool verbose, int wake_fd)
      : device_(std::move(device)),
        engine_(engine),
        console_(console),
        verbose_(verbose),
        wake_fd_(wake_fd) {}

  void post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) override;
  std::intptr_t send(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) override;

  // Prints a line prefixed by the device.
  void Say(const std::string& text) { console_.Line(device_ + ": " + text); }

  // Called by the main loop before it reads the wake-up descriptor, so a
  // change after that point wakes it again.
  void ClearWakePending() { wake_pending_.store(false); }

  // True once the box asked for the time after the end of the image was served.
  bool finished() const { return finished_.load(); }
  PortView View(std::uint64_t image_size, bool connected) const;

 private:
  enum Phase : int { kWaiting, kBooted, kServing, kDone };
  void Wake();
  void OnStatus(const char* text);

  const std::string device_;
  const StbResponder& engine_;
  ProgressConsole& console_;
  const bool verbose_;
  const int wake_fd_;
  std::atomic<int> phase_{kWaiting};
  std::atomic<int> percent_{0};
  std::atomic<bool> reached_end_{false};
  std::atomic<bool> finished_{false};
  std::atomic<std::uint64_t> bytes_at_boot_{0};
  std::atomic<bool> wake_pending_{false};
};

}  // namespace ternis::serve
