#pragma once
// ternis-serve's stderr, for the operator. On a terminal: a live block with
// a header of totals and one row per slot, redrawn in place, with other
// lines printed above it. Elsewhere: timestamped lines, of which the rows
// give a unit's phases and every 10 %. At exit, a summary table.
// Line() may be called from any thread; the rest from the main loop only.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ternis::serve {

struct SlotRow {
  std::string name;
  std::string device;
  std::string phase;  // "serving", "waiting for device", "PASS in 93.9 s", ...
  bool in_unit = false;
  int percent = 0;
  std::uint64_t covered = 0;
  std::uint64_t size = 0;
  double bytes_per_second = 0;
  std::optional<double> eta_seconds;
  std::uint64_t passed = 0;
  std::uint64_t failed = 0;
  std::uint64_t aborted = 0;
};

class ConsoleView {
 public:
  using Clock = std::chrono::steady_clock;

  ConsoleView(std::FILE* out, bool live) : out_(out), live_(live) {}

  void Line(const std::string& text);
  void Render(const std::vector<SlotRow>& rows, Clock::duration elapsed);
  void Summary(const std::vector<SlotRow>& rows);

  bool live() const { return live_; }

 private:
  struct Printed {
    int decade = -1;
    std::string phase;
  };

  std::string Header(const std::vector<SlotRow>& rows, Clock::duration elapsed) const;
  std::string LiveRow(const SlotRow& row, std::size_t name_width) const;
  void RenderPlain(const SlotRow& row);
  void PrintLocked(const std::string& text);
  void EraseBlock();
  void DrawBlock();

  std::mutex mutex_;
  std::FILE* out_;
  const bool live_;
  std::vector<std::string> block_;
  std::size_t drawn_rows_ = 0;
  std::map<std::string, Printed> printed_;
};

// "1.5 MiB", "512 B".
std::string HumanBytes(double bytes);
// "1:05:09", "4:07", "0:03".
std::string Clocklike(double seconds);

}  // namespace ternis::serve
