#pragma once
// When the window shows "On Writing, Please Wait" and locks its controls:
// from the first data request whose progress reads 99 % or more until the
// box asks for the time, or until its unit ends some other way (unplugged,
// silent, booted again). "99 % or more" rather than "exactly 99 %": a file
// read in a few large requests jumps from below 99 % straight to 100 %, and
// its box writes just the same.

#include <cstdint>

namespace ternis {

class BusyRule {
 public:
  void OnDataRequest() { after_data_request_ = true; }
  // A progress report; true when the notice shows after it.
  bool OnProgress(std::int64_t percent);
  void OnTimeRequest();
  void OnUnitEnded() { busy_ = false; }

  bool busy() const { return busy_; }

 private:
  // Progress that follows a time request is that request's 100 %, not the box's data.
  bool after_data_request_ = false;
  bool busy_ = false;
};

}  // namespace ternis
