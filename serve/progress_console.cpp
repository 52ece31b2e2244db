#include "serve/progress_console.h"

#include <algorithm>

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

void ProgressConsole::Line(const std::string& text) {
  std::lock_guard lock(mutex_);
  EraseBlock();
  std::fprintf(out_, "%s\n", text.c_str());
  DrawBlock();
  std::fflush(out_);
}

void ProgressConsole::Render(const std::vector<PortView>& ports, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  std::vector<std::string> rows;
  for (const PortView& port : ports) {
    Trend& trend = trends_[port.device];
    UpdateTrend(port, trend, now);
    if (live_) {
      rows.push_back(FormatRow(port, trend));
    } else {
      RenderPlain(port, trend);
    }
  }
  if (live_ && rows != rows_) {
    EraseBlock();
    rows_ = std::move(rows);
    DrawBlock();
  }
  std::fflush(out_);
}

void ProgressConsole::Finish() {
  std::lock_guard lock(mutex_);
  drawn_rows_ = 0;  // keep what is on screen
  rows_.clear();
  std::fflush(out_);
}

void ProgressConsole::UpdateTrend(const PortView& port, Trend& trend, Clock::time_point now) {
  if (port.bytes < trend.bytes || trend.at == Clock::time_point{}) {  // new download
    trend.bytes = port.bytes;
    trend.at = now;
    trend.bytes_per_second = 0;
    return;
  }
  const double seconds = std::chrono::duration<double>(now - trend.at).count();
  if (seconds < 0.25) return;
  const double rate = static_cast<double>(port.bytes - trend.bytes) / seconds;
  // Smooth, but let a stall show at once.
  trend.bytes_per_second = rate == 0 ? 0 : 0.5 * trend.bytes_per_second + 0.5 * rate;
  trend.bytes = port.bytes;
  trend.at = now;
}

std::string ProgressConsole::FormatRow(const PortView& port, const Trend& trend) const {
  constexpr int kBarWidth = 20;
  const int filled = std::clamp(port.percent, 0, 100) * kBarWidth / 100;
  const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '-');
  char row[256];
  std::snprintf(row, sizeof row, "%-16s [%s] %3d%%  %10s of %-10s %11s/s  %s", port.device.c_str(),
                bar.c_str(), port.percent, HumanBytes(static_cast<double>(port.bytes)).c_str(),
                HumanBytes(static_cast<double>(port.image_size)).c_str(),
                HumanBytes(trend.bytes_per_second).c_str(), port.phase.c_str());
  return row;
}

void ProgressConsole::RenderPlain(const PortView& port, Trend& trend) {
  const int decade = port.percent / 10;
  if (decade == trend.printed_decade && port.phase == trend.printed_phase) return;
  if (decade < trend.printed_decade) trend.printed_decade = -1;  // a new download
  trend.printed_decade = decade;
  trend.printed_phase = port.phase;
  std::fprintf(out_, "%s: %d%% (%llu of %llu bytes) %s\n", port.device.c_str(), port.percent,
               static_cast<unsigned long long>(port.bytes),
               static_cast<unsigned long long>(port.image_size), port.phase.c_str());
}

void ProgressConsole::EraseBlock() {
  if (!live_ || drawn_rows_ == 0) return;
  std::fprintf(out_, "\x1b[%zuF\x1b[J", drawn_rows_);  // up to the block's first line, clear below
  drawn_rows_ = 0;
}

void ProgressConsole::DrawBlock() {
  if (!live_) return;
  for (const std::string& row : rows_) std::fprintf(out_, "%s\x1b[K\n", row.c_str());
  drawn_rows_ = rows_.size();
}

}  // namespace ternis::serve
