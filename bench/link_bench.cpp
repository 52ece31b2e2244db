// End to end over a pseudo-terminal pair: stb-sim reads a 4 MiB image from
// ternis-serve, then from a minimal single-threaded responder written here,
// in the same run, for 1 KiB and 4 KiB requests, three rounds each. Prints p50/p99 request
// latency, MB/s and the ratios (targets: throughput >= 0.9 of the minimal
// responder, p50 <= 1.2 times its own). Then measures ternis-serve's CPU
// time and wake-ups with an open port and no traffic.
//
//   link_bench TERNIS_SERVE STB_SIM

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/date_time_code.h"
#include "bench/minimal_responder.h"
#include "bench/sim_figures.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using ternis::test::Process;
using ternis::test::ReadText;
using ternis::test::WaitForText;

using Figures = ternis::bench::SimFigures;

Figures ParseSim(const std::string& out) {
  return ternis::bench::ParseSimFigures(out);
}

class Bench {
 public:
  Bench(std::string serve, std::string sim) : serve_(std::move(serve)), sim_(std::move(sim)) {
    std::vector<std::uint8_t> bytes(4 << 20);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    image_path_ = dir_.Write("image.bin", bytes);
    image_.assign(bytes.begin(), bytes.end());
  }

  Figures WithServe(unsigned chunk) {
    auto sim = StartSim("serve-box", chunk);
    // As a station runs it: every unit recorded, events on stdout.
    Process serve({serve_, "--file", image_path_, "--once", "--timeout", "120", "--record",
                   Path("records.jsonl"), "--json", Path("serve-box")},
                  Path("serve.out"), Path("serve.err"));
    serve.Wait(std::chrono::seconds(150));
    sim->Wait(std::chrono::seconds(150));
    return ParseSim(ReadText(Path("serve-box.out")));
  }

  Figures WithMinimal(unsigned chunk) {
    auto sim = StartSim("minimal-box", chunk);
    ternis::bench::ServeWithMinimal(Path("minimal-box"), image_, [&] { sim->Wait(std::chrono::seconds(150)); });
    return ParseSim(ReadText(Path("minimal-box.out")));
  }

  void IdleCpu() {
    int box = -1, port = -1;
    char name[128];
    ::openpty(&box, &port, name, nullptr, nullptr);
    Process serve({serve_, "--file", image_path_, name}, Path("idle.out"), Path("idle.err"));
    WaitForText(Path("idle.err"), "Connected Successfully");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto [ticks0, switches0] = Usage(serve.pid());
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto [ticks1, switches1] = Usage(serve.pid());
    std::printf(
        "\nternis-serve idle, port open, no traffic, 3 s: %ld CPU ticks (1/%ld s), %ld context "
        "switches\n",
        ticks1 - ticks0, ::sysconf(_SC_CLK_TCK), switches1 - switches0);
    serve.Signal(SIGTERM);
    serve.Wait();
    ::close(box);
    ::close(port);
  }

 private:
  std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }

  std::unique_ptr<Process> StartSim(const std::string& link, unsigned chunk) {
    auto sim = std::make_unique<Process>(
        std::vector<std::string>{sim_, "--pty", Path(link), "--reference", image_path_, "--chunk",
                                 std::to_string(chunk), "--machine"},
        Path(link + ".out"), Path(link + ".err"));
    WaitForText(Path(link + ".err"), "box on");
    return sim;
  }

  // utime + stime of every thread, and their context switches.
  static std::pair<long, long> Usage(pid_t pid) {
    long ticks = 0, switches = 0;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
      std::string stat = ReadText(task.path() / "stat");
      std::istringstream fields(stat.substr(stat.rfind(')') + 2));
      std::string field;
      for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stol(field);
      }
      std::istringstream status(ReadText(task.path() / "status"));
      for (std::string line; std::getline(status, line);) {
        if (line.find("ctxt_switches:") != std::string::npos)
          switches += std::stol(line.substr(line.find(':') + 1));
      }
    }
    return {ticks, switches};
  }

  ternis::test::TempDir dir_;
  std::string serve_, sim_, image_path_;
  std::vector<char> image_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: link_bench TERNIS_SERVE STB_SIM\n");
    return 2;
  }
  Bench bench(argv[1], argv[2]);
  std::printf("4 MiB image over a pseudo-terminal pair, read by stb-sim\n\n");
  std::printf("%-8s %-14s %10s %10s %10s\n", "request", "responder", "MB/s", "p50 ms", "p99 ms");
  bool all_ok = true;
  constexpr int kRounds = 3;  // alternating, so both see the same machine; the median is shown
  for (unsigned chunk : {1024u, 4096u}) {
    std::vector<double> throughput, p50;
    for (int round = 0; round < kRounds; ++round) {
      const Figures serve = bench.WithServe(chunk);
      const Figures minimal = bench.WithMinimal(chunk);
      all_ok = all_ok && serve.ok && minimal.ok;
      std::printf("%-8u %-14s %10.2f %10.3f %10.3f\n", chunk, "ternis-serve", serve.mbps,
                  serve.p50, serve.p99);
      std::printf("%-8u %-14s %10.2f %10.3f %10.3f\n", chunk, "minimal", minimal.mbps,
                  minimal.p50, minimal.p99);
      throughput.push_back(serve.mbps / minimal.mbps);
      p50.push_back(serve.p50 / minimal.p50);
    }
    std::sort(throughput.begin(), throughput.end());
    std::sort(p50.begin(), p50.end());
    std::printf(
        "%-8u ratio: throughput %.2f (%.2f to %.2f; target >= 0.9), p50 %.2f (%.2f to %.2f; "
        "target <= 1.2)\n\n",
        chunk, throughput[kRounds / 2], throughput.front(), throughput.back(), p50[kRounds / 2],
        p50.front(), p50.back());
  }
  bench.IdleCpu();
  return all_ok ? 0 : 1;
}
