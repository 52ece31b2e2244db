#include "app/window_messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "app/window_link.h"
#include "protocol/constants.h"

namespace ternis {

namespace {
constexpr std::uintptr_t kPercentRange = 100;
}

void WindowMessages::OnBootUp(const BootUpEvent& event) {
  Post(SM_STB_START);
  if (event.ack == WriteStatus::kOk) SendStatus("STB bootup(STB_START).");
  Post(SM_STB_START_DONE);
}

void WindowMessages::OnDataServed(const DataServedEvent& event) {
  Post(SM_STB_DATA_REQ);
  SendStatus("Data request has been arrived from STB(STB_DATA_REQ).");
  Post(SM_PROGRESS, kPercentRange, static_cast<std::intptr_t>(event.percent));
  if (event.finishing_raised) Post(SM_PROGRESS, kPercentRange, 100);
  if (event.end_reached) {
    Post(SM_PROGRESS, kPercentRange, 100);
    SendStatus("Complete KEY file.");
  }
  SendStatusf("TX_KEY : %d bytes started at %d", static_cast<int>(event.length),
              static_cast<std::int32_t>(event.offset));
}

void WindowMessages::OnNoImage(const NoImageEvent&) {
  Post(SM_STB_DATA_REQ);
  SendStatus("Data request has been arrived from STB(STB_DATA_REQ).");
  SendStatus("No file has been specified.");
}

// The reply already carries the session's one reading of the clock; the
// window is still asked, in the order it has always been asked.
void WindowMessages::OnTimeServed(const TimeServedEvent& event) {
  Post(SM_STB_TIME_REQ);
  window_.send(SM_GET_DATE, 0, 0);
  window_.send(SM_GET_TIME, 0, 0);
  if (event.finishing_cleared) {
    Post(SM_PROGRESS, kPercentRange, 100);
    window_.update();
  }
}

void WindowMessages::OnDeviceLost(int error) {
  char text[32];
  std::snprintf(text, sizeof text, "ReadFile::%d", error);
  window_.send(SM_NOTIFY_ERROR_CODE, std::strlen(text), reinterpret_cast<std::intptr_t>(text));
}

void WindowMessages::OnChanged() {
  Post(kSessionChangedMessage);
}

void WindowMessages::OnLinkClosing() {
  if (closing_) closing_->SetClosing(true);
}

void WindowMessages::OnLinkClosed() {
  if (closing_) closing_->SetClosing(false);
}

void WindowMessages::Post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
  window_.post(message, wparam, lparam);
}

void WindowMessages::SendStatus(const char* text) {
  window_.send(SM_STATUS_TEXT, 0, reinterpret_cast<std::intptr_t>(text));
}

void WindowMessages::SendStatusf(const char* format, ...) {
  char text[kStatusTextSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  SendStatus(text);
}

}  // namespace ternis
