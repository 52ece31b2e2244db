// What the station window costs 16 boxes served at once. Sixteen stb-sim
// boxes on pseudo-terminals each read a 1 MiB image in 1 KiB requests, in
// the same run, from ternis-serve (--once) and from the station window
// (offscreen, in this process); five rounds, interleaved. Prints the
// aggregate throughput of each (the sum of the boxes' own rates, and all
// bytes over the wall time), the ratio window / server (goal >= 0.8), the
// largest gap between two turns of the window thread's event loop and
// between two paints of the window while units run (goal < 50 ms), and the
// most repaints one row had in any second (the refresh timer's cap is 30).
// Units run from the first paint that shows a unit's data moving; before
// it the boxes boot, and a window with nothing new to show paints nothing:
// the gap from the start is printed beside it, for reference.
//
// With --memory SECONDS: the station window alone, 16 boxes of stb-sim
// running unit after unit on a 64 KiB image (records written), for SECONDS
// (600 for the full measurement); resident memory every 10 s, and whether
// it levels off under 60 MB.
//
//   station_window_bench TERNIS_SERVE STB_SIM [--memory SECONDS]

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/sim_figures.h"
#include "app/file_kind.h"
#include "controls/percent_progress_ctrl.h"
#include "station_window/slot_row.h"
#include "station_window/station_window.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using ternis::test::Process;
using ternis::test::ReadText;
using ternis::test::WaitForText;

constexpr int kBoxes = 16;
constexpr std::size_t kImageSize = 1 << 20;
constexpr int kRounds = 5;  // the machine's noise is large: medians of five

struct Round {
  double sum_mbps = 0;   // the boxes' own rates, added
  double wall_mbps = 0;  // every byte over the wall time, first request to last box done
  bool ok = true;
  double max_turn_gap_ms = 0;   // the window's loop; with ternis-serve, a bare loop's
  double max_paint_gap_ms = 0;  // window only, while units run
  double max_paint_gap_from_start_ms = 0;
  int max_row_paints_per_second = 0;
};

// Paints of the station window's widgets, by row: the paints of one refresh
// (the bar repaints at once, the labels at the next flush) count once.
class PaintWatch : public QObject {
 public:
  PaintWatch(QWidget* window, std::function<bool()> data_moves)
      : window_(window), data_moves_(std::move(data_moves)) {
    clock_.start();
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Paint || !watched->isWidgetType()) return false;
    auto* widget = static_cast<QWidget*>(watched);
    if (widget->window() != window_) return false;
    const double now = static_cast<double>(clock_.nsecsElapsed()) / 1e6;
    if (measuring_) {
      if (last_paint_ >= 0) {
        max_gap_from_start_ = std::max(max_gap_from_start_, now - last_paint_);
        if (units_run_) max_gap_ = std::max(max_gap_, now - last_paint_);
      }
      last_paint_ = now;
      units_run_ = units_run_ || data_moves_();
    }
    for (QObject* o = watched; o; o = o->parent()) {
      if (auto* row = dynamic_cast<ternis::SlotRow*>(o)) {
        auto& times = row_paints_[row];
        if (times.empty() || now - times.back() > 10.0) times.push_back(now);
        break;
      }
    }
    return false;
  }
  void SetMeasuring(bool on) {
    measuring_ = on;
    if (!on) last_paint_ = -1;
  }
  double max_gap() const { return max_gap_; }
  double max_gap_from_start() const { return max_gap_from_start_; }
  int MaxPerSecond() const {
    int most = 0;
    for (const auto& [row, times] : row_paints_) {
      std::size_t first = 0;
      for (std::size_t i = 0; i < times.size(); ++i) {
        while (times[i] - times[first] >= 1000.0) ++first;
        most = std::max(most, static_cast<int>(i - first + 1));
      }
    }
    return most;
  }

 private:
  QWidget* window_;
  std::function<bool()> data_moves_;
  QElapsedTimer clock_;
  bool measuring_ = false, units_run_ = false;
  double last_paint_ = -1, max_gap_ = 0, max_gap_from_start_ = 0;
  std::map<ternis::SlotRow*, std::vector<double>> row_paints_;
};

class Bench {
 public:
  Bench(std::string serve, std::string sim) : serve_(std::move(serve)), sim_(std::move(sim)) {
    std::vector<std::uint8_t> bytes(kImageSize);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    image_ = dir_.Write("image.bin", bytes);
  }

  Round WithServe(int round) {
    const auto links = StartBoxes("serve" + std::to_string(round));
    std::vector<std::string> argv = {serve_, "--file", image_, "--once", "--timeout", "120"};
    argv.insert(argv.end(), links.begin(), links.end());
    QElapsedTimer wall;
    wall.start();
    Process serve(argv, Path("serve.out"), Path("serve.err"));
    // The baseline for the window's gaps: an event loop in this process
    // with nothing to do but the same ticker, under the same load.
    double max_turn = 0;
    RunTickingUntil([&] { return AllBoxesEnded(); }, max_turn);
    for (auto& box : boxes_) box->Wait(150s);
    const double seconds = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    serve.Wait(10s);
    Round figures = Collect(links, seconds);
    figures.max_turn_gap_ms = max_turn;
    return figures;
  }

  Round WithWindow(int round) {
    const auto links = StartBoxes("window" + std::to_string(round));
    ternis::StationWindowSettings settings;
    settings.kind = ternis::FIRMWARE_FILE;
    settings.firmware = QString::fromStdString(image_);
    for (int i = 0; i < kBoxes; ++i) settings.slot_specs.push_back({"s" + std::to_string(i + 1), links[i]});
    Round figures;
    {
      ternis::StationWindow window(settings);
      PaintWatch paints(&window, [&window] {
        for (int i = 0; i < window.rowCount(); ++i)
          if (window.row(i)->progress()->GetPos() > 0) return true;
        return false;
      });
      qApp->installEventFilter(&paints);
      window.show();
      QElapsedTimer wall;
      wall.start();
      window.Start();
      paints.SetMeasuring(true);
      double max_turn = 0;
      RunTickingUntil(
          [&] {
            for (int i = 0; i < window.rowCount(); ++i)
              if (window.row(i)->passed() + window.row(i)->failed() == 0) return false;
            return true;
          },
          max_turn);
      const double seconds = static_cast<double>(wall.nsecsElapsed()) / 1e9;
      paints.SetMeasuring(false);
      for (auto& box : boxes_) box->Wait(10s);
      figures = Collect(links, seconds);
      figures.max_turn_gap_ms = max_turn;
      figures.max_paint_gap_ms = paints.max_gap();
      figures.max_paint_gap_from_start_ms = paints.max_gap_from_start();
      figures.max_row_paints_per_second = paints.MaxPerSecond();
      qApp->removeEventFilter(&paints);
      window.End();
    }
    return figures;
  }

 private:
  // Turns the event loop until `done` (looked at every 10 ms; at most
  // 150 s), with a ticker every 2 ms: `max_turn_ms` is the longest the
  // loop went without turning.
  static void RunTickingUntil(const std::function<bool()>& done, double& max_turn_ms) {
    QElapsedTimer turn;
    turn.start();
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
      max_turn_ms = std::max(max_turn_ms, static_cast<double>(turn.nsecsElapsed()) / 1e6);
      turn.restart();
    });
    ticker.start(2);
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
      if (done()) loop.quit();
    });
    look.start(10);
    QTimer::singleShot(150s, &loop, &QEventLoop::quit);
    loop.exec();
  }

  bool AllBoxesEnded() const {
    return std::all_of(boxes_.begin(), boxes_.end(),
                       [](const auto& box) { return box->pid() <= 0 || box->Poll().has_value(); });
  }

  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }

  std::vector<std::string> StartBoxes(const std::string& prefix) {
    boxes_.clear();
    std::vector<std::string> links;
    for (int i = 0; i < kBoxes; ++i) {
      const std::string link = Path(prefix + "-box" + std::to_string(i));
      boxes_.push_back(std::make_unique<Process>(
          std::vector<std::string>{sim_, "--pty", link, "--reference", image_, "--chunk", "1024",
                                   "--machine", "--boot-interval", "20", "--boot-timeout", "120",
                                   "--reply-timeout", "30"},
          link + ".out", link + ".err"));
      WaitForText(link + ".err", "box on");
      links.push_back(link);
    }
    return links;
  }

  Round Collect(const std::vector<std::string>& links, double seconds) {
    Round round;
    for (const std::string& link : links) {
      const auto f = ternis::bench::ParseSimFigures(ReadText(link + ".out"));
      round.ok = round.ok && f.ok;
      round.sum_mbps += f.mbps;
    }
    round.wall_mbps = static_cast<double>(kBoxes * kImageSize) / seconds / 1e6;
    return round;
  }

  ternis::test::TempDir dir_;
  std::string serve_, sim_, image_;
  std::vector<std::unique_ptr<Process>> boxes_;
};

// Resident memory of this process, in MB.
double ResidentMb() {
  long pages = 0, resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1e6;
}

// The station window under continuous load for `seconds`, sampled every
// 10 s. Levels off: the last half grew less than 1 MB; goal: under 60 MB.
int MeasureMemory(const std::string& sim, int seconds) {
  constexpr double kGoalMb = 60;
  ternis::test::TempDir dir;
  std::vector<std::uint8_t> bytes(64 * 1024);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
  const std::string image = dir.Write("image.bin", bytes);
  std::vector<std::unique_ptr<Process>> boxes;
  ternis::StationWindowSettings settings;
  settings.kind = ternis::FIRMWARE_FILE;
  settings.firmware = QString::fromStdString(image);
  settings.record_path = QString::fromStdString((dir.path() / "records.jsonl").string());
  for (int i = 0; i < kBoxes; ++i) {
    const std::string link = (dir.path() / ("box" + std::to_string(i))).string();
    boxes.push_back(std::make_unique<Process>(
        std::vector<std::string>{sim, "--pty", link, "--reference", image, "--chunk", "1024",
                                 "--units", "0", "--unit-gap", "0.05", "--boot-timeout", "600"},
        "/dev/null", link + ".err"));
    WaitForText(link + ".err", "box on");
    settings.slot_specs.push_back({"s" + std::to_string(i + 1), link});
  }
  std::printf("%d boxes at once, unit after unit on a 64 KiB image, for %d s\n\n", kBoxes,
              seconds);
  std::printf("%8s %12s %12s %10s %8s\n", "seconds", "resident MB", "passed", "units/s", "failed");
  std::vector<double> samples;
  {
    ternis::StationWindow window(settings);
    window.show();
    window.Start();
    const auto tally = [&](bool passed) {
      std::uint64_t n = 0;
      for (int i = 0; i < window.rowCount(); ++i)
        n += passed ? window.row(i)->passed() : window.row(i)->failed();
      return n;
    };
    QEventLoop loop;
    QTimer sample;
    int elapsed = 0;
    std::uint64_t passed_before = 0;
    QObject::connect(&sample, &QTimer::timeout, [&] {
      elapsed += 10;
      samples.push_back(ResidentMb());
      const std::uint64_t passed = tally(true);
      std::printf("%8d %12.1f %12llu %10.1f %8llu\n", elapsed, samples.back(),
                  static_cast<unsigned long long>(passed), static_cast<double>(passed - passed_before) / 10,
                  static_cast<unsigned long long>(tally(false)));
      std::fflush(stdout);
      passed_before = passed;
      if (elapsed >= seconds) loop.quit();
    });
    sample.start(10s);
    loop.exec();
    window.End();
  }
  for (auto& box : boxes) box->Signal(SIGTERM);
  if (samples.empty()) return 1;
  const double half = samples[samples.size() / 2];
  const double peak = *std::max_element(samples.begin(), samples.end());
  const double late_peak = *std::max_element(samples.begin() + static_cast<long>(samples.size() / 2),
                                             samples.end());
  const bool levels_off = late_peak - half < 1.0;
  std::printf(
      "\nresident memory: %.1f MB at 10 s, %.1f MB at %zu s, %.1f MB at the end, peak %.1f MB; "
      "the last half grew %.1f MB: %s; goal under %.0f MB: %s\n",
      samples.front(), half, (samples.size() / 2 + 1) * 10, samples.back(), peak,
      late_peak - half, levels_off ? "levels off" : "STILL CLIMBING", kGoalMb,
      peak < kGoalMb ? "met" : "NOT MET");
  return levels_off && peak < kGoalMb ? 0 : 1;
}

template <typename F>
double Median(std::vector<Round> runs, F field) {
  std::sort(runs.begin(), runs.end(), [&](const Round& a, const Round& b) { return field(a) < field(b); });
  return field(runs[runs.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  const bool memory = argc == 5 && std::string(argv[3]) == "--memory" && std::atoi(argv[4]) >= 10;
  if (argc != 3 && !memory) {
    std::fprintf(stderr, "usage: station_window_bench TERNIS_SERVE STB_SIM [--memory SECONDS]\n"
                         "       (SECONDS at least 10)\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ternis::test::TempDir home;
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((home.path() / "config").string()));
  qputenv("XDG_STATE_HOME", QByteArray::fromStdString((home.path() / "state").string()));
  QApplication app(argc, argv);
  if (memory) return MeasureMemory(argv[2], std::atoi(argv[4]));
  Bench bench(argv[1], argv[2]);

  std::printf("%d boxes at once, each reading a 1 MiB image in 1 KiB requests\n\n", kBoxes);
  std::printf("%-6s %-14s %12s %12s %10s %10s %12s %12s\n", "round", "responder", "sum MB/s",
              "wall MB/s", "turn ms", "paint ms", "row paints/s", "from start");
  std::vector<Round> serves, windows;
  bool ok = true;
  for (int round = 1; round <= kRounds; ++round) {
    serves.push_back(bench.WithServe(round));
    windows.push_back(bench.WithWindow(round));
    const Round& s = serves.back();
    const Round& w = windows.back();
    ok = ok && s.ok && w.ok;
    std::printf("%-6d %-14s %12.1f %12.1f %10.1f\n", round, "ternis-serve", s.sum_mbps,
                s.wall_mbps, s.max_turn_gap_ms);
    std::printf("%-6d %-14s %12.1f %12.1f %10.1f %10.1f %12d %12.1f\n", round, "station window",
                w.sum_mbps, w.wall_mbps, w.max_turn_gap_ms, w.max_paint_gap_ms,
                w.max_row_paints_per_second, w.max_paint_gap_from_start_ms);
  }
  const auto sum = [](const Round& r) { return r.sum_mbps; };
  const auto wall = [](const Round& r) { return r.wall_mbps; };
  double worst_turn = 0, worst_paint = 0, worst_from_start = 0, worst_bare = 0;
  int worst_row = 0;
  for (const Round& s : serves) worst_bare = std::max(worst_bare, s.max_turn_gap_ms);
  for (const Round& w : windows) {
    worst_turn = std::max(worst_turn, w.max_turn_gap_ms);
    worst_paint = std::max(worst_paint, w.max_paint_gap_ms);
    worst_from_start = std::max(worst_from_start, w.max_paint_gap_from_start_ms);
    worst_row = std::max(worst_row, w.max_row_paints_per_second);
  }
  std::printf(
      "\nmedians: throughput window / ternis-serve %.2f by the boxes' rates, %.2f by wall time "
      "(goal >= 0.8)\nworst of %d: event-loop turn gap %.1f ms, paint gap while units run %.1f ms "
      "(goal < 50; %.1f ms from the start, boot-up included), row repaints %d a second (cap 30); "
      "a bare event loop under the same load (ternis-serve rounds): turn gap %.1f ms%s\n",
      Median(windows, sum) / Median(serves, sum), Median(windows, wall) / Median(serves, wall),
      kRounds, worst_turn, worst_paint, worst_from_start, worst_row, worst_bare,
      ok ? "" : "\nSOME BOX DID NOT FINISH");
  return ok ? 0 : 1;
}
