#include "app/log_book.h"

#include <cstdio>

#include "app/log_file.h"

namespace ternis {

LogBook::LogBook(LogFile* file, QObject* parent) : QObject(parent), file_(file) {
  flush_timer_ = new QTimer(this);
  flush_timer_->setSingleShot(true);
  connect(flush_timer_, &QTimer::timeout, this, &LogBook::Flush);
}

LogBook::~LogBook() { Flush(); }

// A fast transfer logs thousands of lines a second: they reach the file
// in one write per turn of the event loop, and at once past a thousand.
void LogBook::Append(const QString& text, const QString& slot) {
  Keep({Now(), slot, text});
  if (file_ == nullptr) return;
  pending_.push_back(Format(lines_.back()).toStdString());
  if (pending_.size() >= 1000) {
    Flush();
  } else if (!flush_timer_->isActive()) {
    flush_timer_->start(0);
  }
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

// A time with an offset from UTC has a block of its own; a string's header
// and the allocator's bookkeeping come to about the same again.
std::size_t LogBook::CostOf(const LogLine& line) {
  constexpr std::size_t kBlocks = 3 * 32;
  return sizeof(LogLine) + kBlocks +
         sizeof(char16_t) * static_cast<std::size_t>(line.text.size() + line.slot.size());
}

// The newest line is always kept, however long.
void LogBook::Keep(LogLine line) {
  bytes_kept_ += CostOf(line);
  lines_.push_back(std::move(line));
  while (bytes_kept_ > kBytesKept && lines_.size() > 1) {
    bytes_kept_ -= CostOf(lines_.front());
    lines_.pop_front();
  }
  emit appended(lines_.back());
}

// A file that cannot be written is said once, in memory only, and tried
// again with the next lines; the lines themselves are all kept here.
void LogBook::Flush() {
  flush_timer_->stop();
  if (file_ == nullptr || pending_.empty()) return;
  const bool written = file_->Append(pending_);
  pending_.clear();
  if (!written && !file_failing_)
    Keep({Now(), QString(),
          QStringLiteral("Log file not written: %1").arg(QString::fromStdString(file_->error()))});
  file_failing_ = !written;
}

}  // namespace ternis
