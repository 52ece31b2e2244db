#include "serve/console_view.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cmath>

#include "station/printable_text.h"
#include "station/unit_record.h"

namespace ternis::serve {

std::string HumanBytes(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string Clocklike(double seconds) {
  const long total = std::lround(std::max(0.0, seconds));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

void ConsoleView::Line(const std::string& text) {
  std::lock_guard lock(mutex_);
  EraseBlock();
  PrintLocked(text);
  DrawBlock();
  std::fflush(out_);
}

// Plain lines carry the time; on a terminal the clock is in the header.
// Lines quote file, device and slot names: escaped, they stay one line.
void ConsoleView::PrintLocked(const std::string& text) {
  const std::string line = PrintableText(text);
  if (live_) {
    std::fprintf(out_, "%s\n", line.c_str());
  } else {
    std::fprintf(out_, "%s %s\n", IsoLocalTime(std::chrono::system_clock::now()).c_str(),
                 line.c_str());
  }
}

void ConsoleView::Render(const std::vector<SlotRow>& rows, Clock::duration elapsed) {
  std::lock_guard lock(mutex_);
  if (!live_) {
    for (const SlotRow& row : rows) RenderPlain(row);
    std::fflush(out_);
    return;
  }
  std::size_t width = 4;
  for (const SlotRow& row : rows) width = std::max(width, row.name.size());
  std::vector<std::string> block{Header(rows, elapsed)};
  for (const SlotRow& row : rows) block.push_back(LiveRow(row, width));
  if (block == block_) return;
  EraseBlock();
  block_ = std::move(block);
  DrawBlock();
  std::fflush(out_);
}

std::string ConsoleView::Header(const std::vector<SlotRow>& rows, Clock::duration elapsed) const {
  std::uint64_t passed = 0, failed = 0, busy = 0;
  for (const SlotRow& row : rows) {
    passed += row.passed;
    failed += row.failed;
    busy += row.in_unit;
  }
  char text[160];
  std::snprintf(text, sizeof text, "passed %llu  failed %llu  in progress %llu  of %zu slots  %s",
                static_cast<unsigned long long>(passed), static_cast<unsigned long long>(failed),
                static_cast<unsigned long long>(busy), rows.size(),
                Clocklike(std::chrono::duration<double>(elapsed).count()).c_str());
  return text;
}

std::string ConsoleView::LiveRow(const SlotRow& row, std::size_t name_width) const {
  constexpr int kBarWidth = 20;
  const int filled = std::clamp(row.percent, 0, 100) * kBarWidth / 100;
  const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '-');
  std::string rate, eta;
  if (row.in_unit) {
    rate = HumanBytes(row.bytes_per_second) + "/s";
    eta = row.eta_seconds ? "ETA " + Clocklike(*row.eta_seconds) : "";
  }
  char text[320];
  std::snprintf(text, sizeof text, "%-*s [%s] %3d%% %12s %-10s pass %-4llu fail %-4llu %s",
                static_cast<int>(name_width), row.name.c_str(), bar.c_str(), row.percent,
                rate.c_str(), eta.c_str(), static_cast<unsigned long long>(row.passed),
                static_cast<unsigned long long>(row.failed), row.phase.c_str());
  return text;
}

// Progress only: a connection, a result or a lost device has its own line
// already, and a row outside a unit would say it a second time.
void ConsoleView::RenderPlain(const SlotRow& row) {
  Printed& printed = printed_[row.name];
  if (!row.in_unit) {
    printed = {};
    return;
  }
  const int decade = row.percent / 10;
  if (decade == printed.decade && row.phase == printed.phase) return;
  printed.decade = decade;
  printed.phase = row.phase;
  char text[256];
  std::snprintf(text, sizeof text, "%s: %d%% (%llu of %llu bytes) %s", row.name.c_str(),
                row.percent, static_cast<unsigned long long>(row.covered),
                static_cast<unsigned long long>(row.size), row.phase.c_str());
  PrintLocked(text);
}

void ConsoleView::Summary(const std::vector<SlotRow>& rows) {
  std::lock_guard lock(mutex_);
  drawn_rows_ = 0;  // the last live block stays on screen
  block_.clear();
  std::size_t width = 4;
  for (const SlotRow& row : rows) width = std::max(width, row.name.size());
  const int w = static_cast<int>(width);
  std::fprintf(out_, "%-*s %7s %7s %7s  %s\n", w, "slot", "passed", "failed", "aborted", "device");
  std::uint64_t passed = 0, failed = 0, aborted = 0;
  for (const SlotRow& row : rows) {
    std::fprintf(out_, "%-*s %7llu %7llu %7llu  %s\n", w, PrintableText(row.name).c_str(),
                 static_cast<unsigned long long>(row.passed),
                 static_cast<unsigned long long>(row.failed),
                 static_cast<unsigned long long>(row.aborted), PrintableText(row.device).c_str());
    passed += row.passed;
    failed += row.failed;
    aborted += row.aborted;
  }
  std::fprintf(out_, "%-*s %7llu %7llu %7llu\n", w, "all", static_cast<unsigned long long>(passed),
               static_cast<unsigned long long>(failed), static_cast<unsigned long long>(aborted));
  std::fflush(out_);
}

void ConsoleView::EraseBlock() {
  if (!live_ || drawn_rows_ == 0) return;
  std::fprintf(out_, "\x1b[%zuF\x1b[J", drawn_rows_);  // up to the block's first line, clear below
  drawn_rows_ = 0;
}

// Rows are cut to the terminal's width: a row that wrapped would take two
// lines, and the next redraw would erase one too few.
void ConsoleView::DrawBlock() {
  if (!live_) return;
  winsize size{};
  const std::size_t width =
      ::ioctl(::fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col - 1 : 79;
  for (const std::string& row : block_)
    std::fprintf(out_, "%s\x1b[K\n", PrintableText(row).substr(0, width).c_str());
  drawn_rows_ = block_.size();
}

}  // namespace ternis::serve
