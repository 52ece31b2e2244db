#pragma once
// The date and time code of the box's time reply (ETSI EN 300 468 Annex C):
// the local date as a 16-bit Modified Julian Date and the local time of day
// as six BCD digits 0x00HHMMSS.

#include <cstdint>
#include <ctime>
#include <string>

namespace ternis {

struct DateTimeCode {
  std::uint16_t mjd = 0;
  std::uint32_t time = 0;  // 0x00HHMMSS in BCD
};

// The code for a broken-down local time (tm_year, tm_mon, tm_mday, tm_hour,
// tm_min, tm_sec are used). Exact from 1900-03-01 to 2100-02-28; the MJD
// wraps modulo 65536 after 2038-04-22.
DateTimeCode DateTimeCodeFor(const std::tm& local);

// Samples the local time now and returns its code.
void GetDateTimeCode(std::uint16_t& mjd, std::uint32_t& time);

// Ten lowercase hex digits, "%04x%06x": c079124500 for MJD 49273 at 12:45:00.
std::string FormatDateTimeCode(const DateTimeCode& code);

}  // namespace ternis
