#include "protocol/date_time_code.h"

#include <cstdio>

namespace ternis {

namespace {

std::uint16_t ModifiedJulianDate(int years_since_1900, int month_1_to_12, int day) {
  // The Annex C formula, in double precision with truncation toward zero:
  // boxes compare against it, so it stays as written rather than a
  // days-from-civil computation that would differ outside its valid range.
  const int l = (month_1_to_12 == 1 || month_1_to_12 == 2) ? 1 : 0;
  const long mjd = 14956L + day + static_cast<long>((years_since_1900 - l) * 365.25) +
                   static_cast<long>((month_1_to_12 + 1 + 12 * l) * 30.6001);
  return static_cast<std::uint16_t>(mjd);
}

std::uint32_t BcdTimeOfDay(int hour, int minute, int second) {
  const auto u = [](int v) { return static_cast<std::uint32_t>(v); };
  const std::uint32_t bcd = u(hour / 10) << 20 | u(hour % 10) << 16 | u(minute / 10) << 12 |
                            u(minute % 10) << 8 | u(second / 10) << 4 | u(second % 10);
  return bcd & 0x00FFFFFFu;
}

}  // namespace

DateTimeCode DateTimeCodeFor(const std::tm& local) {
  return DateTimeCode{ModifiedJulianDate(local.tm_year, local.tm_mon + 1, local.tm_mday),
                      BcdTimeOfDay(local.tm_hour, local.tm_min, local.tm_sec)};
}

void GetDateTimeCode(std::uint16_t& mjd, std::uint32_t& time) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const DateTimeCode code = DateTimeCodeFor(local);
  mjd = code.mjd;
  time = code.time;
}

std::string FormatDateTimeCode(const DateTimeCode& code) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x%06x", static_cast<unsigned>(code.mjd),
                static_cast<unsigned>(code.time));
  return text;
}

}  // namespace ternis
