// What the window costs the box. stb-sim reads a 16 MiB image over a
// pseudo-terminal pair, in the same run, from a minimal single-threaded
// responder, from ternis-serve (the same box session without a window) and
// from the window (offscreen, in this
// process, its status lines logged to a file), for 1 KiB and 4 KiB
// requests; then from a window whose thread turns no events until the box
// is done, as a window stuck in a slow paint or dialog would. Each is run
// three times, interleaved; prints the median run's MB/s, p50/p99 request
// latency, and the ratios to the minimal responder (targets: the window's
// throughput >= 0.8 of it, its p50 <= 1.5 times) and to ternis-serve, and
// how long the stalled window takes to catch up. Last, how long choosing a
// 64 MiB file takes, SHA-256 identity included.
//
//   window_bench TERNIS_SERVE STB_SIM

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/download_dialog.h"
#include "app/file_kind.h"
#include "app/settings_store.h"
#include "station/box_session.h"
#include "bench/minimal_responder.h"
#include "bench/sim_figures.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using ternis::test::Process;
using ternis::test::ReadText;
using ternis::test::WaitForText;

using Figures = ternis::bench::SimFigures;

Figures ParseSim(const std::string& out) {
  return ternis::bench::ParseSimFigures(out);
}

// The window's status lines go to a file while it runs, as they would to a
// journal; the bench's own lines stay on the terminal.
class StderrToFile {
 public:
  explicit StderrToFile(const std::string& path)
      : saved_(::dup(2)), file_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600)) {
    ::dup2(file_, 2);
  }
  ~StderrToFile() {
    ::dup2(saved_, 2);
    ::close(saved_);
    ::close(file_);
  }

 private:
  int saved_, file_;
};

// The window's own event loop, which sleeps until there is something to
// do (a loop of processEvents calls would spin and keep a core awake),
// looking every 10 ms whether `done`; at most 150 s.
void RunEventLoopUntil(const std::function<bool()>& done) {
  QEventLoop loop;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&] {
    if (done()) loop.quit();
  });
  look.start(10);
  QTimer::singleShot(150s, &loop, &QEventLoop::quit);
  if (!done()) loop.exec();
}

class Bench {
 public:
  Bench(std::string serve, std::string sim) : serve_(std::move(serve)), sim_(std::move(sim)) {
    std::vector<std::uint8_t> bytes(16 << 20);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    image_path_ = dir_.Write("image.bin", bytes);
    image_.assign(bytes.begin(), bytes.end());
  }

  Figures WithMinimal(unsigned chunk) {
    auto sim = StartSim("minimal-box", chunk);
    ternis::bench::ServeWithMinimal(Path("minimal-box"), image_, [&] { sim->Wait(150s); });
    return ParseSim(ReadText(Path("minimal-box.out")));
  }

  Figures WithServe(unsigned chunk) {
    auto sim = StartSim("serve-box", chunk);
    Process serve({serve_, "--file", image_path_, "--once", "--timeout", "120", Path("serve-box")},
                  Path("serve.out"), Path("serve.err"));
    sim->Wait(150s);
    serve.Wait(10s);
    return ParseSim(ReadText(Path("serve-box.out")));
  }

  // With `stalled`, the window's thread turns no events until the box is
  // done; `catch_up_ms` is then how long it takes to handle what queued.
  Figures WithWindow(unsigned chunk, bool stalled, double* catch_up_ms = nullptr) {
    const std::string link = stalled ? "stalled-box" : "window-box";
    WriteSettings(Path(link));
    auto sim = StartSim(link, chunk);
    ternis::SettingsStore settings;
    settings.Load();
    ternis::BoxSession session(nullptr, {});
    int units = 0;
    {
      StderrToFile log(Path("window.log"));
      ternis::DownloadDialog window(settings, session, [](const QString&, const QString&) {});
      QObject::connect(&window, &ternis::DownloadDialog::unitEnded, [&] { ++units; });
      window.link().set_wait(0ms);
      window.Initialise();
      window.show();
      if (stalled) {
        sim->Wait(150s);
      } else {
        RunEventLoopUntil([&] { return sim->Poll().has_value(); });
      }
      QElapsedTimer catch_up;
      catch_up.start();
      RunEventLoopUntil([&] { return units > 0; });
      if (catch_up_ms) *catch_up_ms = static_cast<double>(catch_up.nsecsElapsed()) / 1e6;
      window.EndProgram();
    }
    return ParseSim(ReadText(Path(link + ".out")));
  }

  // Choosing a file reads it whole and hashes it, on the window's thread.
  double ChooseLargeFileMs() {
    const std::string path = dir_.Write("large.bin", std::vector<std::uint8_t>(64 << 20, 0x5A));
    WriteSettings(Path("no-box"));
    ternis::SettingsStore settings;
    settings.Load();
    ternis::BoxSession session(nullptr, {});
    StderrToFile log(Path("window.log"));
    ternis::DownloadDialog window(settings, session, [](const QString&, const QString&) {});
    window.link().set_wait(0ms);
    window.Initialise();
    QElapsedTimer timer;
    timer.start();
    window.SelectFile(ternis::FIRMWARE_FILE, QString::fromStdString(path));
    const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    window.EndProgram();
    return ms;
  }

 private:
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }

  void WriteSettings(const std::string& device) const {
    const auto file = std::filesystem::path(qgetenv("XDG_CONFIG_HOME").toStdString()) / "Halvek";
    std::filesystem::create_directories(file);
    std::ofstream(file / "Velko.conf")
        << "[General]\nFILE_MASK=4096\nFirmware=" << image_path_ << "\nCOM1=" << device << "\n";
  }

  std::unique_ptr<Process> StartSim(const std::string& link, unsigned chunk) {
    auto sim = std::make_unique<Process>(
        std::vector<std::string>{sim_, "--pty", Path(link), "--reference", image_path_, "--chunk",
                                 std::to_string(chunk), "--machine"},
        Path(link + ".out"), Path(link + ".err"));
    WaitForText(Path(link + ".err"), "box on");
    return sim;
  }

  ternis::test::TempDir dir_;
  std::string serve_, sim_, image_path_;
  std::vector<char> image_;
};

void PrintRow(unsigned chunk, const char* responder, const Figures& f) {
  std::printf("%-8u %-16s %10.2f %10.3f %10.3f\n", chunk, responder, f.mbps, f.p50, f.p99);
}

// The run with the median throughput of three.
Figures Median(std::vector<Figures> runs) {
  std::sort(runs.begin(), runs.end(),
            [](const Figures& a, const Figures& b) { return a.mbps < b.mbps; });
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: window_bench TERNIS_SERVE STB_SIM\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ternis::test::TempDir config;
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path().string()));
  qputenv("XDG_STATE_HOME", QByteArray::fromStdString((config.path() / "state").string()));
  QApplication app(argc, argv);
  Bench bench(argv[1], argv[2]);

  std::printf("16 MiB image over a pseudo-terminal pair, read by stb-sim (median of 3)\n\n");
  std::printf("%-8s %-16s %10s %10s %10s\n", "request", "responder", "MB/s", "p50 ms", "p99 ms");
  bool all_ok = true;
  for (unsigned chunk : {1024u, 4096u}) {
    std::vector<Figures> minimals, serves, windows, stalleds;
    double catch_up_ms = 0;
    for (int round = 0; round < 3; ++round) {
      minimals.push_back(bench.WithMinimal(chunk));
      serves.push_back(bench.WithServe(chunk));
      windows.push_back(bench.WithWindow(chunk, false));
      double ms = 0;
      stalleds.push_back(bench.WithWindow(chunk, true, &ms));
      catch_up_ms = std::max(catch_up_ms, ms);
      for (const auto* runs : {&minimals, &serves, &windows, &stalleds})
        all_ok = all_ok && runs->back().ok;
    }
    const Figures minimal = Median(minimals), serve = Median(serves), window = Median(windows),
                  stalled = Median(stalleds);
    PrintRow(chunk, "minimal", minimal);
    PrintRow(chunk, "ternis-serve", serve);
    PrintRow(chunk, "window", window);
    PrintRow(chunk, "stalled window", stalled);
    std::printf(
        "%-8u ratio to the minimal responder: window throughput %.2f (target >= 0.8), p50 %.2f "
        "(target <= 1.5); ternis-serve throughput %.2f, p50 %.2f\n",
        chunk, window.mbps / minimal.mbps, window.p50 / minimal.p50, serve.mbps / minimal.mbps,
        serve.p50 / minimal.p50);
    std::printf(
        "%-8u ratio to ternis-serve: window throughput %.2f, p50 %.2f; stalled window "
        "throughput %.2f, caught up in at most %.0f ms\n\n",
        chunk, window.mbps / serve.mbps, window.p50 / serve.p50, stalled.mbps / serve.mbps,
        catch_up_ms);
  }
  std::printf("choosing a 64 MiB file (read, SHA-256, shown): %.0f ms\n",
              bench.ChooseLargeFileMs());
  return all_ok ? 0 : 1;
}
