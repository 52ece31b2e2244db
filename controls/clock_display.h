#pragma once
// The hidden clock of the main window: every 500 ms it writes the local
// time of day into five fields (hour, minute, second, AM/PM, and the
// ten-digit date-time code), each only when its value changed; and it
// answers the box's time request with the MJD and BCD time.

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <ctime>
#include <functional>

class QLineEdit;

namespace ternis {

class ClockDisplay : public QObject {
  Q_OBJECT

 public:
  // Returns the local time now; replaced in tests.
  using LocalTime = std::function<std::tm()>;

  // Fields may be null; a null field is never written.
  ClockDisplay(QLineEdit* hour, QLineEdit* minute, QLineEdit* second, QLineEdit* meridiem,
               QLineEdit* code, QObject* parent = nullptr);

  // Starts the 500 ms ticker with the last shown time all zero. Returns 0.
  int Create();
  // Stops the ticker.
  void Close() { timer_.stop(); }

  void setLocalTime(LocalTime clock) { clock_ = std::move(clock); }

  // Samples the clock and computes the code (local time).
  void GetDateTimeCode(std::uint16_t& mjd, std::uint32_t& time) const;

  // One tick: what the timer does every 500 ms.
  void Tick();

  bool isTicking() const { return timer_.isActive(); }

 private:
  void Write(QLineEdit* field, const QString& text);

  QPointer<QLineEdit> hour_, minute_, second_, meridiem_, code_;
  std::tm last_shown_{};
  LocalTime clock_;
  QTimer timer_;
};

}  // namespace ternis
