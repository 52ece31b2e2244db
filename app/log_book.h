#pragma once
// Every status line of this run, each with its time and (in the station
// window) the slot it is about; kept in memory for the log window, the
// newest up to kBytesKept (the log file and the records hold the history),
// and appended to the log file when there is one. Used from the window's
// thread only.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <string>
#include <vector>

namespace ternis {

class LogFile;

struct LogLine {
  QDateTime time;
  QString slot;  // empty: the window as a whole
  QString text;
};

class LogBook : public QObject {
  Q_OBJECT

 public:
  // By bytes, not lines: a window that runs for weeks must level off.
  static constexpr std::size_t kBytesKept = 2u << 20;
  // What keeping `line` costs, roughly: the entry, its texts, its time.
  static std::size_t CostOf(const LogLine& line);

  explicit LogBook(LogFile* file = nullptr, QObject* parent = nullptr);
  ~LogBook() override;  // what is still pending goes to the file

  void Append(const QString& text, const QString& slot = QString());
  // Writes the lines not yet in the file. They go by themselves once the
  // event loop turns, in one write per burst.
  void Flush();
  const std::deque<LogLine>& lines() const { return lines_; }
  std::size_t bytes_kept() const { return bytes_kept_; }

  // "2026-12-07 05:30:01.123 [slot] text", as in the file and the window.
  static QString Format(const LogLine& line);

 signals:
  void appended(const ternis::LogLine& line);

 private:
  QDateTime Now();
  void Keep(LogLine line);

  LogFile* file_;
  std::vector<std::string> pending_;  // formatted, not yet in the file
  QTimer* flush_timer_ = nullptr;
  bool file_failing_ = false;
  qint64 offset_second_ = -1;
  int offset_ = 0;  // local time's offset from UTC during offset_second_
  std::deque<LogLine> lines_;
  std::size_t bytes_kept_ = 0;  // CostOf every line in lines_
};

}  // namespace ternis
