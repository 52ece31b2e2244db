#pragma once
// What a station hears from one slot's session: it wakes the station's
// owner when something shown changed, and, for a verbose view, says a line
// about each frame. Called on the session's receive thread.

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

#include "station/box_session.h"

namespace ternis {

class SlotObserver : public SessionObserver {
 public:
  using Wake = std::function<void()>;
  using FramePrinter = std::function<void(std::size_t slot, const std::string& line)>;

  // `index` follows the slot when others are removed; `frames` may be empty.
  SlotObserver(const Wake& wake, const FramePrinter& frames, const std::atomic<std::size_t>& index)
      : wake_(wake), frames_(frames), index_(index) {}

  void OnChanged() override { wake_(); }
  void OnBootUp(const BootUpEvent& e) override;
  void OnDataServed(const DataServedEvent& e) override;
  void OnNoImage(const NoImageEvent&) override;
  void OnTimeServed(const TimeServedEvent& e) override;

 private:
  void Print(const std::string& line);

  const Wake& wake_;
  const FramePrinter& frames_;
  const std::atomic<std::size_t>& index_;
};

}  // namespace ternis
