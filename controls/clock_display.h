#pragma once
// The hidden clock of the main window: every 500 ms it writes the local
// time of day into five fields (hour, minute, second, AM/PM, and the
// code field, whose text the owner computes from the time), each only when
// its value changed.

#include <QObject>
#include <QPointer>
#include <QString>
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
  // The code field's text for a local time; without one it stays empty.
  using CodeText = std::function<QString(const std::tm&)>;

  // Fields may be null; a null field is never written.
  ClockDisplay(QLineEdit* hour, QLineEdit* minute, QLineEdit* second, QLineEdit* meridiem,
               QLineEdit* code, QObject* parent = nullptr);

  // Starts the 500 ms ticker with the last shown time all zero. Returns 0.
  int Create();
  // Stops the ticker.
  void Close() { timer_.stop(); }

  void setLocalTime(LocalTime clock) { clock_ = std::move(clock); }
  void setCodeText(CodeText code_text) { code_text_ = std::move(code_text); }

  // One tick: what the timer does every 500 ms.
  void Tick();

  bool isTicking() const { return timer_.isActive(); }

 private:
  void Write(QLineEdit* field, const QString& text);

  QPointer<QLineEdit> hour_, minute_, second_, meridiem_, code_;
  std::tm last_shown_{};
  LocalTime clock_;
  CodeText code_text_;
  QTimer timer_;
};

}  // namespace ternis
