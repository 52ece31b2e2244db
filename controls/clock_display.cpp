#include "controls/clock_display.h"

#include <QLineEdit>

namespace ternis {

namespace {

std::tm SystemLocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

}  // namespace

ClockDisplay::ClockDisplay(QLineEdit* hour, QLineEdit* minute, QLineEdit* second,
                           QLineEdit* meridiem, QLineEdit* code, QObject* parent)
    : QObject(parent),
      hour_(hour),
      minute_(minute),
      second_(second),
      meridiem_(meridiem),
      code_(code),
      clock_(SystemLocalTime) {
  timer_.setInterval(500);
  connect(&timer_, &QTimer::timeout, this, &ClockDisplay::Tick);
}

int ClockDisplay::Create() {
  last_shown_ = std::tm{};
  timer_.start();
  return 0;
}

void ClockDisplay::Write(QLineEdit* field, const QString& text) {
  if (field) field->setText(text);
}

void ClockDisplay::Tick() {
  const std::tm now = clock_();
  bool wrote = false;
  if (now.tm_hour != last_shown_.tm_hour) {
    Write(hour_, QString::number(now.tm_hour));  // 24-hour number
    Write(meridiem_, now.tm_hour > 12 ? QStringLiteral("PM") : QStringLiteral("AM"));
    wrote = true;
  }
  if (now.tm_min != last_shown_.tm_min) {
    Write(minute_, QString::number(now.tm_min));
    wrote = true;
  }
  if (now.tm_sec != last_shown_.tm_sec) {
    Write(second_, QString::number(now.tm_sec));
    // A fresh sample of the clock, not the one above.
    if (code_text_) Write(code_, code_text_(clock_()));
    wrote = true;
  }
  if (wrote) last_shown_ = now;
}

}  // namespace ternis
