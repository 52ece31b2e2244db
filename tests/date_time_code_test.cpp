#include "protocol/date_time_code.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/support/box_frames.h"

namespace ternis {
namespace {

using test::LocalTime;

// Every day of the formula's range against the calendar arithmetic of
// <chrono>: catches a wrong leap-year term, month offset or truncation.
TEST(DateTimeCode, MjdMatchesCalendarForEveryDayFrom1900To2100) {
  using namespace std::chrono;
  const sys_days epoch = year{1858} / November / 17;
  const sys_days first = year{1900} / March / 1;
  const sys_days last = year{2100} / February / 28;
  int checked = 0;
  for (sys_days day = first; day <= last; day += days{1}) {
    const year_month_day ymd{day};
    const std::tm local = LocalTime(int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day()));
    const auto expected = static_cast<std::uint16_t>((day - epoch).count());
    ASSERT_EQ(DateTimeCodeFor(local).mjd, expected)
        << int(ymd.year()) << "-" << unsigned(ymd.month()) << "-" << unsigned(ymd.day());
    ++checked;
  }
  EXPECT_EQ(checked, 73049);
}

TEST(DateTimeCode, TimeIsBcdOnA24HourClockForEverySecond) {
  for (int h = 0; h < 24; ++h) {
    for (int m = 0; m < 60; ++m) {
      for (int s = 0; s < 60; ++s) {
        const std::uint32_t time = DateTimeCodeFor(LocalTime(2024, 1, 1, h, m, s)).time;
        char digits[8];
        std::snprintf(digits, sizeof digits, "%06x", time);
        char expected[8];
        std::snprintf(expected, sizeof expected, "%02d%02d%02d", h, m, s);
        ASSERT_STREQ(digits, expected);
        ASSERT_EQ(time & 0xFF000000u, 0u);
      }
    }
  }
}

}  // namespace
}  // namespace ternis
