#pragma once
// What reaches the main window over its one queue: its private messages
// (`SM_...`, with their range, percent or text as typed fields), "look at
// the session" (state, results, a lost device) and "repaint soon". No
// number stands for a pointer: a text travels as its own string.

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "app/sm_message.h"

namespace ternis {

struct SmEvent {
  explicit SmEvent(SmMessage message) : id(message) {}
  SmEvent(SmMessage message, std::string message_text) : id(message), text(std::move(message_text)) {}
  SmEvent(SmMessage message, std::uintptr_t top, std::intptr_t value)
      : id(message), range(top), percent(value) {}

  SmMessage id;
  std::uintptr_t range = 0;   // SM_PROGRESS: the range's top
  std::intptr_t percent = 0;  // SM_PROGRESS
  std::string text;           // SM_STATUS_TEXT, SM_NOTIFY_ERROR_CODE
};

struct SessionChangedEvent {};
struct RepaintEvent {};

using WindowMessage = std::variant<SmEvent, SessionChangedEvent, RepaintEvent>;

}  // namespace ternis
