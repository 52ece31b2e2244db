#include "controls/clock_display.h"

#include <gtest/gtest.h>

#include <QLineEdit>

#include "protocol/date_time_code.h"
#include "tests/support/box_frames.h"

namespace ternis {
namespace {

std::tm At(int year, int month, int day, int hour, int minute, int second) {
  return test::LocalTime(year, month, day, hour, minute, second);
}

class ClockTest : public testing::Test {
 protected:
  ClockTest() : clock(&hour, &minute, &second, &meridiem, &code) {
    for (QLineEdit* field : {&hour, &minute, &second, &meridiem, &code}) field->setText("template");
    clock.setLocalTime([this] { return now; });
    clock.setCodeText([](const std::tm& local) {
      return QString::fromStdString(FormatDateTimeCode(DateTimeCodeFor(local)));
    });
    clock.Create();
  }
  std::tm now{};
  QLineEdit hour, minute, second, meridiem, code;
  ClockDisplay clock;
};

TEST_F(ClockTest, FillsTheFieldsAndTheCode) {
  now = At(2002, 3, 4, 13, 5, 9);
  clock.Tick();
  EXPECT_EQ(hour.text(), "13");
  EXPECT_EQ(meridiem.text(), "PM");
  EXPECT_EQ(minute.text(), "5");
  EXPECT_EQ(second.text(), "9");
  EXPECT_EQ(code.text(), "cc71130509");

  now = At(1993, 10, 13, 12, 45, 1);
  clock.Tick();
  EXPECT_EQ(hour.text(), "12");
  EXPECT_EQ(meridiem.text(), "AM") << "12 is the last hour that reads AM";
  EXPECT_EQ(code.text(), "c079124501");
}

TEST_F(ClockTest, FirstTickLeavesFieldsWhoseValueIsZero) {
  now = At(2024, 5, 6, 10, 0, 30);
  clock.Tick();
  EXPECT_EQ(hour.text(), "10");
  EXPECT_EQ(minute.text(), "template") << "minute 0 equals the zeroed last shown time";
  EXPECT_EQ(second.text(), "30");

  now = At(2024, 5, 6, 0, 1, 30);
  clock.Tick();
  EXPECT_EQ(hour.text(), "0");
  EXPECT_EQ(meridiem.text(), "AM");
}

TEST_F(ClockTest, WritesOnlyTheFieldsThatChanged) {
  now = At(2024, 5, 6, 14, 30, 15);
  clock.Tick();
  for (QLineEdit* field : {&hour, &minute, &meridiem}) field->setText("kept");
  now.tm_sec = 16;
  clock.Tick();
  EXPECT_EQ(hour.text(), "kept");
  EXPECT_EQ(minute.text(), "kept");
  EXPECT_EQ(meridiem.text(), "kept");
  EXPECT_EQ(second.text(), "16");
  second.setText("kept");
  clock.Tick();  // same second: nothing written
  EXPECT_EQ(second.text(), "kept");
}

}  // namespace
}  // namespace ternis
