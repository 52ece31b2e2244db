#include "tools/port_session.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "protocol/constants.h"
#include "protocol/date_time_code.h"
#include "protocol/stb_responder.h"

namespace ternis::serve {

namespace {

// Shown without --verbose: what an operator needs to see once per download.
bool IsNotable(const char* text) {
  return std::strcmp(text, "STB bootup(STB_START).") == 0 ||
         std::strcmp(text, "No file has been specified.") == 0 ||
         std::strcmp(text, "Complete KEY file.") == 0;
}

}  // namespace

// Runs for every request: wakes the main loop only when what it shows
// changes, so serving stays one thread's work.
void PortSession::post(std::uint32_t message, std::uintptr_t, std::intptr_t lparam) {
  switch (message) {
    case SM_STB_START:
      reached_end_ = false;
      percent_ = 0;
      phase_ = kBooted;
      Wake();
      break;
    case SM_STB_DATA_REQ:
      if (phase_ != kDone && phase_.exchange(kServing) != kServing) Wake();
      break;
    case SM_PROGRESS: {
      const int percent = static_cast<int>(std::clamp<std::intptr_t>(lparam, 0, 100));
      if (percent_.exchange(percent) != percent) Wake();
      break;
    }
    case SM_STB_TIME_REQ:
      if (reached_end_) {
        phase_ = kDone;
        finished_ = true;
      }
      Wake();
      break;
    default:
      break;
  }
}

std::intptr_t PortSession::send(std::uint32_t message, std::uintptr_t, std::intptr_t lparam) {
  switch (message) {
    case SM_GET_DATE:
    case SM_GET_TIME: {
      std::uint16_t mjd = 0;
      std::uint32_t time = 0;
      GetDateTimeCode(mjd, time);
      return message == SM_GET_DATE ? mjd : static_cast<std::intptr_t>(time);
    }
    case SM_STATUS_TEXT:
      OnStatus(reinterpret_cast<const char*>(lparam));
      return 0;
    case SM_NOTIFY_ERROR_CODE:
      Say(std::string("SM_NOTIFY_ERROR_CODE : ") + reinterpret_cast<const char*>(lparam));
      Wake();
      return 0;
    default:
      return 0;
  }
}

void PortSession::OnStatus(const char* text) {
  if (std::strcmp(text, "Complete KEY file.") == 0) reached_end_ = true;
  if (std::strcmp(text, "STB bootup(STB_START).") == 0) bytes_at_boot_ = engine_.bytes_served();
  if (verbose_ || IsNotable(text)) Say(text);
}

PortView PortSession::View(std::uint64_t image_size, bool connected) const {
  const StbResponder& engine = engine_;
  PortView view;
  view.device = device_;
  view.image_size = image_size;
  view.percent = percent_;
  view.bytes = engine.bytes_served() - std::min(bytes_at_boot_.load(), engine.bytes_served());
  if (!connected) {
    view.phase = "device gone, waiting for it";
  } else if (phase_ == kDone) {
    view.phase = "done";
  } else if (engine.finishing()) {
    view.phase = "box writing, please wait";
  } else {
    static const char* const kPhases[] = {"waiting for box", "box booted", "serving", "done"};
    view.phase = kPhases[phase_.load()];
  }
  return view;
}

void PortSession::Wake() {
  if (wake_pending_.exchange(true)) return;  // the main loop has yet to look
  const std::uint64_t one = 1;
  (void)!::write(wake_fd_, &one, sizeof one);
}

}  // namespace ternis::serve
