#include "controls/clock_display.h"

#include <gtest/gtest.h>

#include <QLineEdit>

#include "protocol/date_time_code.h"
#include "tests/support/box_frames.h"

namespace ternis {
namespace {

// Tick after tick, every field set to "kept" before each: a field that
// still reads "kept" was left alone; a null code was written, whatever it reads.
TEST(ClockTest, WritesTheFieldsWhoseValueChangedAndTheCode) {
  QLineEdit hour, minute, second, meridiem, code;
  std::tm now{};
  ClockDisplay clock(&hour, &minute, &second, &meridiem, &code);
  clock.setLocalTime([&] { return now; });
  clock.setCodeText([](const std::tm& local) {
    return QString::fromStdString(FormatDateTimeCode(DateTimeCodeFor(local)));
  });
  clock.Create();
  struct Case {
    std::tm at;
    const char *hour, *minute, *second, *meridiem, *code;
  };
  const Case cases[] = {
      // Minute 0 equals the zeroed last shown time of the first tick.
      {test::LocalTime(2024, 5, 6, 10, 0, 30), "10", "kept", "30", "AM", nullptr},
      {test::LocalTime(2024, 5, 6, 10, 0, 31), "kept", "kept", "31", "kept", nullptr},
      {test::LocalTime(2024, 5, 6, 10, 0, 31), "kept", "kept", "kept", "kept", "kept"},
      {test::LocalTime(2002, 3, 4, 13, 5, 9), "13", "5", "9", "PM", "cc71130509"},
      // 12 is the last hour that reads AM.
      {test::LocalTime(1993, 10, 13, 12, 45, 1), "12", "45", "1", "AM", "c079124501"},
      {test::LocalTime(2024, 5, 6, 0, 1, 30), "0", "1", "30", "AM", nullptr},
  };
  for (const Case& c : cases) {
    for (QLineEdit* field : {&hour, &minute, &second, &meridiem, &code}) field->setText("kept");
    now = c.at;
    clock.Tick();
    const std::string at = std::asctime(&c.at);
    EXPECT_EQ(hour.text(), c.hour) << at;
    EXPECT_EQ(minute.text(), c.minute) << at;
    EXPECT_EQ(second.text(), c.second) << at;
    EXPECT_EQ(meridiem.text(), c.meridiem) << at;
    if (c.code) {
      EXPECT_EQ(code.text(), c.code) << at;
    } else {
      EXPECT_NE(code.text(), "kept") << at;
    }
  }
}

}  // namespace
}  // namespace ternis
