#include "app/log_book.h"

#include <cstdio>

#include "app/log_file.h"

namespace ternis {

LogBook::LogBook(LogFile* file, QObject* parent) : QObject(parent), file_(file) {}

void LogBook::Append(const QString& text, const QString& slot) {
  Keep({Now(), slot, text});
  WriteToFile(lines_.back());
}

// By hand: QDateTime::toString with a format costs several times more, and
// a fast transfer logs thousands of lines a second.
QString LogBook::Format(const LogLine& line) {
  const QDate date = line.time.date();
  const QTime time = line.time.time();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", date.year(),
                date.month(), date.day(), time.hour(), time.minute(), time.second(), time.msec());
  QString formatted = QLatin1String(stamp);
  formatted.reserve(formatted.size() + line.slot.size() + 3 + line.text.size());
  if (!line.slot.isEmpty()) formatted += QLatin1Char('[') + line.slot + QStringLiteral("] ");
  return formatted + line.text;
}

// The local time with the offset from UTC looked up once a second: the
// lookup costs more than the rest of a line. Offsets change on whole seconds.
QDateTime LogBook::Now() {
  const qint64 ms = QDateTime::currentMSecsSinceEpoch();
  if (ms / 1000 != offset_second_) {
    offset_second_ = ms / 1000;
    offset_ = QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc();
  }
  return QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, offset_);
}

void LogBook::Keep(LogLine line) {
  if (lines_.size() >= kLinesKept) lines_.pop_front();
  lines_.push_back(std::move(line));
  emit appended(lines_.back());
}

// A file that cannot be written is said once, in memory only, and tried
// again with every line; the lines themselves are all kept here.
void LogBook::WriteToFile(const LogLine& line) {
  if (file_ == nullptr) return;
  const bool written = file_->Append(Format(line).toStdString());
  if (!written && !file_failing_)
    Keep({Now(), QString(),
          QStringLiteral("Log file not written: %1").arg(QString::fromStdString(file_->error()))});
  file_failing_ = !written;
}

}  // namespace ternis
