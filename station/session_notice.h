#pragma once
// What a box session tells its front end besides results: the link came
// back, went away or cannot be opened, a unit started. Notices and results
// share one order (`sequence`).

#include <cstdint>
#include <string>

namespace ternis {

enum class NoticeKind : std::uint8_t {
  kConnected,    // opened and configured (again)
  kDeviceLost,   // the device went away; `error` is the errno
  kCannotOpen,   // an attempt failed; said again only when the reason changes
  kUnitStarted,  // `unit` is its number
};

struct SessionNotice {
  NoticeKind kind;
  std::string text;
  int error = 0;
  std::uint64_t unit = 0;
  bool configuring = false;    // kCannotOpen: it opened, but the line was refused
  std::uint64_t sequence = 0;  // order among the session's notices and results
};

}  // namespace ternis
