#pragma once
// Turns the box session's typed events into the main window's private
// messages, in a fixed order and with fixed texts:
// boot-up, data request, progress, completion, the time queries, and the
// diagnostic notice of a lost device. The window's classic progress (end of
// the latest request against the file's size on disk) and its final phase
// (from the first 99 % until the next time request) are kept here, for the
// window alone; nothing else parses status texts.
//
// The frame calls come on the receive thread. Every message is posted as a
// typed value, texts as copies, on the window's one queue, so the box is answered at its own pace and closing the
// port never waits on the window.

#include <cstdint>

#include "app/owner_window.h"
#include "station/box_session.h"

namespace ternis {

class WindowMessages : public SessionObserver {
 public:
  explicit WindowMessages(OwnerWindow& window) : window_(window) {}

  void OnBootUp(const BootUpEvent& event) override;
  void OnDataServed(const DataServedEvent& event) override;
  void OnNoImage(const NoImageEvent& event) override;
  void OnTimeServed(const TimeServedEvent& event) override;
  void OnDeviceLost(int error) override;
  void OnChanged() override;

 private:
  void Post(SmMessage message);
  void PostProgress(std::intptr_t percent);
  void PostStatus(const char* text);
  [[gnu::format(printf, 2, 3)]] void PostStatusf(const char* format, ...);

  OwnerWindow& window_;
  bool finishing_ = false;  // frame calls only (the receive thread)
};

}  // namespace ternis
