#include "station/slot_observer.h"

#include <cstdio>

namespace ternis {

void SlotObserver::OnBootUp(const BootUpEvent& e) {
  Print(std::string("boot-up, acknowledgement: ") + WriteStatusName(e.ack));
}

void SlotObserver::OnDataServed(const DataServedEvent& e) {
  if (!frames_) return;
  char text[128];
  std::snprintf(text, sizeof text, "served %u bytes at %u (%s)", e.length, e.offset,
                WriteStatusName(e.write));
  Print(text);
}

void SlotObserver::OnNoImage(const NoImageEvent&) {
  Print("asked for data, but no file is loaded");
}

void SlotObserver::OnTimeServed(const TimeServedEvent& e) {
  Print("time request answered with " + FormatDateTimeCode(e.code));
}

void SlotObserver::Print(const std::string& line) {
  if (frames_) frames_(index_.load(), line);
}

}  // namespace ternis
