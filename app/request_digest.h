#pragma once
// What the log keeps of the data requests: a box asks thousands of times a
// unit, two status lines each, and would push every line that says
// something happened out of the log file within seconds. By default one
// line per tenth of the unit's progress stands for the requests, with their
// count since the line before; "Log every request" keeps every line. Every
// other status line passes unchanged.

#include <cstdint>
#include <string>
#include <string_view>

namespace ternis {

class RequestDigest {
 public:
  void SetEveryRequest(bool every) {
    every_ = every;
    since_logged_ = 0;
    StartOver();
  }
  bool every_request() const { return every_; }

  // The status line to log for `line`, or an empty one for none. `percent`
  // is the bar's after the request the line is about.
  std::string Take(std::string_view line, int percent);
  // A boot-up, a new unit, a result: the next request starts a new line.
  void StartOver() { logged_tenth_ = -1; }

 private:
  bool every_ = false;
  int logged_tenth_ = -1;
  std::uint64_t since_logged_ = 0;  // requests not yet in a line
};

}  // namespace ternis
