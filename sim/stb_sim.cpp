// stb-sim: a set-top box emulator. It boots (resending its boot frame until
// answered), reads an image in chunks, optionally asks past its end, asks
// for the time, checks every byte against a reference file when given one,
// and prints a summary; as many boxes in turn as asked for, each a "unit".
// It can also fail on purpose: fall silent or pull the plug mid-read.
// Exit status 0 when all went well, 1 on a mismatch, a time-out or a line
// error, 2 for bad arguments.

#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_line.h"
#include "sim/sim_options.h"

namespace stbsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

volatile sig_atomic_t g_stop = 0;

// --- the box's side of the protocol, written independently of the tool ---

Bytes Framed(std::initializer_list<std::uint8_t> body) {
  Bytes frame;
  frame.reserve(body.size() + 2);
  frame.push_back(0x02);
  for (std::uint8_t b : body) frame.push_back(b);
  frame.push_back(0x03);
  return frame;
}

Bytes DataRequest(std::uint32_t offset, std::uint16_t length) {
  return Framed(
      {0x02, static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>(length >> 8),
       static_cast<std::uint8_t>(offset & 0xFF), static_cast<std::uint8_t>((offset >> 8) & 0xFF),
       static_cast<std::uint8_t>((offset >> 16) & 0xFF), static_cast<std::uint8_t>(offset >> 24)});
}

bool IsBcd(std::uint8_t b, int max) {
  return (b >> 4) <= 9 && (b & 0xF) <= 9 && (b >> 4) * 10 + (b & 0xF) <= max;
}

// Days since 1858-11-17 of a civil date (Gregorian), by a method of its own.
long DaysSinceMjdEpoch(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468 + 40587;  // 1970-01-01 is MJD 40587
}

struct Failure {
  std::string what;
};

// The point where --stop-after or --close-after takes over from the box.
struct FaultPoint {};

// Sleeps `seconds`, or until a stop signal when unset; false if one came.
bool Pause(std::optional<double> seconds) {
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds.value_or(0)));
  while (!g_stop) {
    const auto now = Clock::now();
    if (seconds && now >= until) return true;
    // Short naps: the sleep itself resumes after a signal.
    auto nap = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(20));
    if (seconds) nap = std::min(nap, until - now);
    std::this_thread::sleep_for(nap);
  }
  return false;
}

// One box, from boot to time reply. `unit` is 0 when there is only one.
class Box {
 public:
  Box(const Options& options, SimLine& line, const Bytes& reference, std::uint64_t size,
      unsigned unit, std::optional<unsigned> fault_after)
      : o_(options),
        line_(line),
        reference_(reference),
        size_(size),
        unit_(unit),
        fault_after_(fault_after) {}

  void Boot();
  // Throws FaultPoint once the armed number of data requests has been answered.
  void CheckFaultPoint() const;
  void ReadImage();
  void AskPastEnd();
  std::string AskTime();
  void PrintSummary(const std::string& time_text) const;
  std::string Label() const { return unit_ ? "unit " + std::to_string(unit_) + ": " : ""; }
  // --received-log: one line for this unit, ended as `how`.
  void LogReceived(const char* how) const;

 private:
  void Request(std::uint32_t offset, std::uint16_t length);
  Clock::time_point ReplyDeadline() const {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(o_.reply_timeout));
  }

  const Options& o_;
  SimLine& line_;
  const Bytes& reference_;
  const std::uint64_t size_;
  const unsigned unit_;
  const std::optional<unsigned> fault_after_;
  std::vector<double> latencies_ms_;
  Bytes received_;  // the image as it arrived, in order from offset 0
  std::uint64_t bytes_ = 0;
  Clock::time_point started_{};
  Clock::time_point finished_{};
};

void Box::Boot() {
  const Bytes boot = Framed({0x01});
  const auto give_up = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(o_.boot_timeout));
  const Bytes expected{0x02, 0x01, 0x0A, 0x03};
  while (!g_stop) {
    if (!line_.WriteAll(boot.data(), boot.size())) throw Failure{"cannot write the boot frame"};
    Bytes ack(4);
    const auto wait =
        std::min(give_up, Clock::now() + std::chrono::milliseconds(o_.boot_interval_ms));
    const std::size_t got = line_.ReadExactly(ack.data(), 1, wait);
    if (got == 1) {
      if (line_.ReadExactly(ack.data() + 1, 3, ReplyDeadline()) != 3 || ack != expected)
        throw Failure{"the boot-up reply is not 02 01 0A 03"};
      // An answer to an earlier boot frame may still be on its way: drop whole acks.
      const std::size_t extra = line_.DrainQuiet(std::chrono::milliseconds(50));
      if (extra % 4 != 0) throw Failure{"unexpected bytes after the boot-up reply"};
      return;
    }
    if (Clock::now() >= give_up) throw Failure{"no answer to the boot frame"};
  }
  throw Failure{"interrupted"};
}

void Box::CheckFaultPoint() const {
  if (fault_after_ && latencies_ms_.size() == *fault_after_) throw FaultPoint{};
}

void Box::Request(std::uint32_t offset, std::uint16_t length) {
  const Bytes frame = DataRequest(offset, length);
  Bytes reply(length);
  const auto sent = Clock::now();
  if (!line_.WriteAll(frame.data(), frame.size())) throw Failure{"cannot write a data request"};
  const std::size_t got = line_.ReadExactly(reply.data(), length, ReplyDeadline());
  const auto done = Clock::now();
  if (offset == received_.size() && offset < size_) {
    const auto in_image = std::min<std::uint64_t>(got, size_ - offset);
    received_.insert(received_.end(), reply.begin(), reply.begin() + static_cast<long>(in_image));
  }
  if (got != length) {
    throw Failure{"request for " + std::to_string(length) + " bytes at offset " +
                  std::to_string(offset) + ": " + std::to_string(got) + " bytes arrived within " +
                  std::to_string(o_.reply_timeout) + " s"};
  }
  if (o_.line_rate) {
    const auto bits = 10.0 * static_cast<double>(length + frame.size());
    const auto on_the_wire = std::chrono::duration<double>(bits / o_.line_rate);
    std::this_thread::sleep_until(sent + std::chrono::duration_cast<Clock::duration>(on_the_wire));
  }
  latencies_ms_.push_back(std::chrono::duration<double, std::milli>(done - sent).count());
  bytes_ += length;
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint64_t at = std::uint64_t{offset} + i;
    const bool have_reference = !reference_.empty() || size_ == 0;
    if (!have_reference && at < size_) continue;
    const std::uint8_t want = at < reference_.size() ? reference_[at] : 0x00;
    if (reply[i] != want) {
      char text[160];
      std::snprintf(text, sizeof text, "mismatch at offset %llu: got 0x%02x, expected 0x%02x",
                    static_cast<unsigned long long>(at), reply[i], want);
      throw Failure{text};
    }
  }
  CheckFaultPoint();
}

void Box::ReadImage() {
  std::vector<std::uint32_t> offsets;
  for (std::uint64_t at = 0; at < size_; at += o_.chunk)
    offsets.push_back(static_cast<std::uint32_t>(at));
  if (o_.random_order) std::shuffle(offsets.begin(), offsets.end(), std::mt19937(o_.seed));
  started_ = Clock::now();
  for (std::uint32_t offset : offsets) {
    if (g_stop) throw Failure{"interrupted"};
    Request(offset, static_cast<std::uint16_t>(std::min<std::uint64_t>(o_.chunk, size_ - offset)));
  }
  finished_ = Clock::now();
}

void Box::AskPastEnd() {
  if (o_.past_end == 0) return;
  if (size_ > 0xFFFFFFFFull) throw Failure{"image too large to ask past its end"};
  Request(static_cast<std::uint32_t>(size_), static_cast<std::uint16_t>(o_.past_end));
}

std::string Box::AskTime() {
  const Bytes frame = Framed({0x03});
  Bytes reply(8);
  if (!line_.WriteAll(frame.data(), frame.size())) throw Failure{"cannot write the time request"};
  if (line_.ReadExactly(reply.data(), 8, ReplyDeadline()) != 8) throw Failure{"no time reply"};
  if (reply[0] != 0x02 || reply[1] != 0x03 || reply[7] != 0x03)
    throw Failure{"the time reply is not framed 02 03 .. 03"};
  if (!IsBcd(reply[4], 23) || !IsBcd(reply[5], 59) || !IsBcd(reply[6], 59))
    throw Failure{"the time reply is not BCD hh mm ss"};
  const unsigned mjd = static_cast<unsigned>(reply[2]) << 8 | reply[3];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const long today =
      DaysSinceMjdEpoch(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) % 65536;
  if (std::labs(static_cast<long>(mjd) - today) > 1) {
    throw Failure{"the time reply's date (MJD " + std::to_string(mjd) + ") is not today (MJD " +
                  std::to_string(today) + ")"};
  }
  char text[64];
  std::snprintf(text, sizeof text, "MJD %u %02x:%02x:%02x", mjd, reply[4], reply[5], reply[6]);
  return text;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index =
      static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
  return values[std::min(index, values.size() - 1)];
}

void Box::PrintSummary(const std::string& time_text) const {
  const double seconds =
      std::max(1e-9, std::chrono::duration<double>(finished_ - started_).count());
  const double mbps = static_cast<double>(bytes_) / seconds / 1e6;
  const double p50 = Percentile(latencies_ms_, 0.50);
  const double p99 = Percentile(latencies_ms_, 0.99);
  std::printf(
      "stb-sim: %s%llu bytes in %zu requests, %.3f s, %.3f MB/s, latency p50 %.3f ms p99 %.3f ms; "
      "time reply %s%s\n",
      Label().c_str(), static_cast<unsigned long long>(bytes_), latencies_ms_.size(), seconds,
      mbps, p50, p99, time_text.c_str(), reference_.empty() ? "" : "; every byte checked");
  if (o_.machine) {
    const std::string unit = unit_ ? "unit=" + std::to_string(unit_) + " " : "";
    std::printf("%sbytes=%llu requests=%zu seconds=%.6f mbps=%.6f p50_ms=%.6f p99_ms=%.6f\n",
                unit.c_str(), static_cast<unsigned long long>(bytes_), latencies_ms_.size(),
                seconds, mbps, p50, p99);
  }
  // Several units may be read by a test while we still run.
  std::fflush(stdout);
}

std::string Sha256Hex(const Bytes& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    return "?";
  std::string hex;
  char pair[3];
  for (unsigned i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

// One write per line: several boxes may share the file.
void Box::LogReceived(const char* how) const {
  if (o_.received_log.empty()) return;
  const std::string line = "unit=" + std::to_string(unit_) +
                           " bytes=" + std::to_string(received_.size()) +
                           " sha256=" + Sha256Hex(received_) + " end=" + how + "\n";
  const int fd = ::open(o_.received_log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (::write(fd, line.data(), line.size()) < 0) std::perror("stb-sim: --received-log");
  ::close(fd);
}

Bytes ReadReference(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Usage(("cannot read " + path).c_str());
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::unique_ptr<SimLine> OpenLine(const Options& o) {
  std::string error;
  auto line = o.pty_link.empty() ? SimLine::OpenDevice(o.device, o.baud, error)
                                 : SimLine::CreatePty(o.pty_link, error);
  if (!line) {
    std::fprintf(stderr, "stb-sim: %s\n", error.c_str());
    return nullptr;
  }
  if (!o.pty_link.empty()) {
    std::fprintf(stderr, "stb-sim: box on %s (%s)\n", o.pty_link.c_str(),
                 line->tool_side_path().c_str());
  }
  return line;
}

void RunUnit(const Options& o, Box& box) {
  box.Boot();
  box.CheckFaultPoint();
  if (o.time_first) box.AskTime();
  box.ReadImage();
  box.AskPastEnd();
  if (o.write_time > 0 && !Pause(o.write_time)) throw Failure{"interrupted"};
  box.PrintSummary(box.AskTime());
}

// Endless units end only by a signal, which is then the plan, not a failure.
int Interrupted(const Options& o, unsigned completed) {
  if (o.units != 0) {
    std::fputs("stb-sim: interrupted\n", stderr);
    return 1;
  }
  std::fprintf(stderr, "stb-sim: stopped after %u units\n", completed);
  return 0;
}

int RunUnits(const Options& o, const Bytes& reference, std::uint64_t size) {
  auto line = OpenLine(o);
  if (!line) return 1;
  auto fault_after = o.stop_after ? o.stop_after : o.close_after;
  unsigned completed = 0;
  if (o.boot_delay > 0 && !Pause(o.boot_delay)) return Interrupted(o, completed);
  for (unsigned unit = 1; o.units == 0 || unit <= o.units; ++unit) {
    if (unit > 1 && !Pause(o.unit_gap)) return Interrupted(o, completed);
    Box box(o, *line, reference, size, o.units == 1 ? 0 : unit, fault_after);
    try {
      RunUnit(o, box);
      box.LogReceived("pass");
      ++completed;
    } catch (const FaultPoint&) {
      box.LogReceived(o.stop_after ? "silent" : "closed");
      if (o.stop_after) {
        std::fprintf(stderr, "stb-sim: stopped asking after %u requests\n", *o.stop_after);
        Pause(o.hold);
        return 0;
      }
      line->Close();
      std::fprintf(stderr, "stb-sim: closed the line after %u requests\n", *o.close_after);
      if (!o.reopen_after) return 0;
      // Unplugged once; the box on the new line behaves.
      fault_after.reset();
      if (!Pause(*o.reopen_after)) return Interrupted(o, completed);
      line = OpenLine(o);
      if (!line) return 1;
    } catch (const Failure& failure) {
      box.LogReceived("fail");
      if (g_stop) return Interrupted(o, completed);
      std::fprintf(stderr, "stb-sim: %s%s\n", box.Label().c_str(), failure.what.c_str());
      if (!o.keep_going) return 1;
      line->DrainQuiet(std::chrono::milliseconds(200));  // a late reply is not the next boot's
    }
  }
  if (o.hold) Pause(*o.hold);
  return 0;
}

}  // namespace
}  // namespace stbsim

int main(int argc, char** argv) {
  using namespace stbsim;
  const Options options = Parse(argc, argv);
  Bytes reference;
  if (!options.reference_path.empty()) reference = ReadReference(options.reference_path);
  const std::uint64_t size = options.size.value_or(reference.size());
  if (!reference.empty() && size != reference.size())
    Usage("--size differs from the reference file's size");

  struct sigaction stop {};
  stop.sa_handler = [](int) { g_stop = 1; };
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);

  return RunUnits(options, reference, size);
}
