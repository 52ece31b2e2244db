#pragma once
// ternis-serve's stderr: status lines prefixed by the device, and progress.
// On a terminal, a live block of one line per port, redrawn in place; on a
// pipe or file, a plain line per port each time it passes another 10 %.
// Line() may be called from any thread; Render() from the main loop only.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ternis::serve {

struct PortView {
  std::string device;
  std::uint64_t bytes = 0;  // served in this download
  std::uint64_t image_size = 0;
  int percent = 0;    // 0..100
  std::string phase;  // "waiting for box", "serving", ...
};

class ProgressConsole {
 public:
  using Clock = std::chrono::steady_clock;

  ProgressConsole(std::FILE* out, bool live) : out_(out), live_(live) {}

  void Line(const std::string& text);
  void Render(const std::vector<PortView>& ports, Clock::time_point now);
  // Leaves the last live block on screen, ending with a newline.
  void Finish();

  bool live() const { return live_; }

 private:
  struct Trend {
    std::uint64_t bytes = 0;
    Clock::time_point at{};
    double bytes_per_second = 0;
    int printed_decade = -1;
    std::string printed_phase;
  };

  std::string FormatRow(const PortView& port, const Trend& trend) const;
  void UpdateTrend(const PortView& port, Trend& trend, Clock::time_point now);
  void RenderPlain(const PortView& port, Trend& trend);
  void EraseBlock();
  void DrawBlock();

  std::mutex mutex_;
  std::FILE* out_;
  const bool live_;
  std::vector<std::string> rows_;
  std::size_t drawn_rows_ = 0;
  std::map<std::string, Trend> trends_;
};

// "1.5 MiB", "512 B".
std::string HumanBytes(double bytes);

}  // namespace ternis::serve
