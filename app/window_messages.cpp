#include "app/window_messages.h"

#include <cstdarg>
#include <cstdio>

#include "app/sm_message.h"
#include "protocol/constants.h"

namespace ternis {

namespace {
constexpr std::uintptr_t kPercentRange = 100;
}

void WindowMessages::OnBootUp(const BootUpEvent& event) {
  Post(SM_STB_START);
  if (event.ack == WriteStatus::kOk) PostStatus("STB bootup(STB_START).");
  Post(SM_STB_START_DONE);
}

void WindowMessages::OnDataServed(const DataServedEvent& event) {
  Post(SM_STB_DATA_REQ);
  PostStatus("Data request has been arrived from STB(STB_DATA_REQ).");
  // 64-bit, so large images and offsets near 4 GiB read right; an empty
  // file is complete.
  const std::uint64_t file_size = event.image ? event.image->CurrentSize() : event.image_size;
  const std::uint64_t end = std::uint64_t{event.offset} + event.length;
  const std::uint64_t percent = file_size == 0 ? 100 : end * 100 / file_size;
  PostProgress(static_cast<std::intptr_t>(percent));
  if (percent == 99 && !finishing_) {
    finishing_ = true;
    PostProgress(100);
  }
  if (file_size <= end) {
    PostProgress(100);
    PostStatus("Complete KEY file.");
  }
  PostStatusf("TX_KEY : %d bytes started at %d", static_cast<int>(event.length),
              static_cast<std::int32_t>(event.offset));
}

void WindowMessages::OnNoImage(const NoImageEvent&) {
  Post(SM_STB_DATA_REQ);
  PostStatus("Data request has been arrived from STB(STB_DATA_REQ).");
  PostStatus("No file has been specified.");
}

// The reply already carries the session's one reading of the clock; the
// window hears the two queries all the same, date first.
void WindowMessages::OnTimeServed(const TimeServedEvent&) {
  Post(SM_STB_TIME_REQ);
  Post(SM_GET_DATE);
  Post(SM_GET_TIME);
  if (finishing_) {
    finishing_ = false;
    PostProgress(100);
    window_.Post(RepaintEvent{});
  }
}

void WindowMessages::OnDeviceLost(int error) {
  window_.Post(SmEvent(SM_NOTIFY_ERROR_CODE, "ReadFile::" + std::to_string(error)));
}

void WindowMessages::OnChanged() {
  window_.Post(SessionChangedEvent{});
}

void WindowMessages::Post(SmMessage message) {
  window_.Post(SmEvent(message));
}

void WindowMessages::PostProgress(std::intptr_t percent) {
  window_.Post(SmEvent(SM_PROGRESS, kPercentRange, percent));
}

void WindowMessages::PostStatus(const char* text) {
  window_.Post(SmEvent(SM_STATUS_TEXT, text));
}

void WindowMessages::PostStatusf(const char* format, ...) {
  char text[kStatusTextSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  PostStatus(text);
}

}  // namespace ternis
