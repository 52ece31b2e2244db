// ternis-serve: serves one image to set-top boxes on any number of serial
// lines at once, unit after unit, with a record of every unit. See --help.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "serve/console_view.h"
#include "serve/device_list.h"
#include "serve/event_stream.h"
#include "serve/image_watch.h"
#include "serve/journal_log.h"
#include "serve/serve_options.h"
#include "serve/waker.h"
#include "serve/pool_commands.h"
#include "station/printable_text.h"
#include "station/station_setup.h"
#include "station/station_texts.h"

namespace ternis::serve {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr auto kProgressInterval = std::chrono::seconds(1);

// What a file on disk is, to tell when it changed since it was loaded.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  bool operator==(const FileStamp& o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
  }
};

std::optional<FileStamp> StampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

// Progress events: at most once a second per slot, and only when it moved.
struct ProgressTold {
  std::uint64_t covered = ~0ull;
  Clock::time_point at{};
};

class Server {
 public:
  explicit Server(const ServeOptions& options)
      : options_(options),
        choice_(ChoiceOf(options)),
        console_(stderr, ::isatty(2) == 1),
        events_(options.json ? stdout : nullptr),
        journal_(options.journal),
        station_(SettingsFor(choice_), [this] { waker_.Wake(); },
                 options.verbose ? Station::FramePrinter([this](std::size_t slot,
                                                                const std::string& line) {
                   console_.Line(options_.slots[slot].name + ": " + line);
                 })
                                 : nullptr) {}

  int Run();

 private:
  bool Load();
  bool UsePool();
  bool Setup();
  void Loop();
  void OnSignal();
  void OnImageWatch();
  void Reload();
  void OnWake();
  void Tell(const StationEvent& event);
  void TellNotice(const StationEvent& event);
  void EmitProgress(std::size_t slot, const SlotView& view, Clock::time_point now);
  void Redraw(Clock::time_point now);
  void StopAll();
  int ExitStatus() const;
  int WaitTimeout(Clock::time_point now) const;
  bool EverySlotHasAResult() const;
  std::vector<SlotRow> Rows() const;
  void Say(std::size_t slot, const std::string& text) {
    console_.Line(station_.spec(slot).name + ": " + text);
  }

  const ServeOptions& options_;
  const StationChoice choice_;
  ConsoleView console_;
  EventStream events_;
  JournalLog journal_;
  Waker waker_;
  Station station_;
  UniqueFd signals_;
  ImageWatch watch_;
  std::optional<FileStamp> image_stamp_;
  bool change_said_ = false;
  bool unlocked_said_ = false;
  std::vector<ProgressTold> progress_;
  Clock::time_point started_ = Clock::now();
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point redraw_due_ = Clock::time_point::max();
  Clock::time_point last_redraw_{};
  enum class End { kRunning, kOnce, kTimeout, kSignal, kRecordFailed } end_ = End::kRunning;
  int signal_ = 0;
  bool cut_short_ = false;  // a unit was in progress when the server stopped
};

bool Server::Load() {
  const auto warn = [this](const std::string& warning) {
    console_.Line("ternis-serve: warning: " + warning);
  };
  std::string error;
  const bool loaded = options_.key_pool.empty() ? ServeFile(station_, choice_, warn, error)
                                                : ServeKeyPool(station_, choice_, warn, error);
  if (!loaded) {
    console_.Line("ternis-serve: " + error);
    return false;
  }
  if (!options_.key_pool.empty()) return true;
  image_stamp_ = StampOf(options_.file);
  if (options_.key && !station_.image_locked() && !unlocked_said_) {
    unlocked_said_ = true;
    console_.Line(std::string("ternis-serve: ") + kKeyNotLockedLine);
  }
  return true;
}

int Server::Run() {
  if (!Load()) return 1;
  std::string error;
  switch (RecordTo(station_, choice_, error)) {
    case RecordOpen::kOk:
      break;
    case RecordOpen::kFileFailed:
      console_.Line("ternis-serve: cannot open the record file " + options_.record_path + ": " +
                    error);
      return 1;
    case RecordOpen::kRefused:
      console_.Line("ternis-serve: " + error);
      return 1;
  }
  if (!Setup()) return 1;

  const ImageIdentity& identity = station_.image();
  if (station_.key_pool()) {
    const KeyPoolCounts counts = station_.PoolCounts();
    console_.Line("ternis-serve: serving keys from " + options_.key_pool + " (" +
                  std::to_string(counts.ready) + " ready, " + std::to_string(counts.used) +
                  " used, " + std::to_string(counts.spoiled) + " spoiled)");
  } else {
    console_.Line("ternis-serve: serving " + IdentityText(identity));
  }
  std::size_t width = 0;
  for (const SlotSpec& slot : options_.slots) width = std::max(width, slot.name.size());
  for (const SlotSpec& slot : options_.slots)
    console_.Line("  " + slot.name + std::string(width - slot.name.size() + 2, ' ') + slot.device);
  events_.Start(identity, options_.slots);

  if (options_.timeout_seconds) {
    deadline_ = started_ + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(*options_.timeout_seconds));
  }
  // A device that is missing or refuses is waited for; the others serve on.
  for (const SlotSpec& slot : options_.slots) {
    station_.AddSlot(slot, error);  // checked with the options
    const std::size_t index = station_.slot_count() - 1;
    progress_.emplace_back();
    if (station_.session(index).IsConnected())
      Say(index, station_.session(index).port().GetLastStatus());
  }
  OnWake();
  Loop();
  StopAll();
  const int status = ExitStatus();
  Redraw(Clock::now());
  console_.Summary(Rows());
  std::vector<SlotTotals> totals;
  for (std::size_t i = 0; i < station_.slot_count(); ++i) {
    const SessionSnapshot s = station_.View(i).snapshot;
    totals.push_back({station_.spec(i).name, s.passed, s.failed, s.aborted});
  }
  events_.Summary(totals, status);
  return status;
}

// Signals arrive as readable bytes on signals_, handled by the loop; the
// receive threads inherit the mask and never see them.
bool Server::Setup() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  signals_.reset(::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!waker_.valid() || !signals_.valid()) {
    console_.Line(std::string("ternis-serve: ") + std::strerror(errno));
    return false;
  }
  if (!options_.file.empty() && !watch_.Watch(options_.file))
    console_.Line("ternis-serve: cannot watch " + options_.file + " for changes");
  return true;
}

void Server::Loop() {
  while (end_ == End::kRunning) {
    pollfd fds[3] = {{signals_.get(), POLLIN, 0}, {waker_.fd(), POLLIN, 0}, {watch_.fd(), POLLIN, 0}};
    const int n = ::poll(fds, watch_.fd() >= 0 ? 3 : 2, WaitTimeout(Clock::now()));
    if (n < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) OnSignal();
    if (fds[2].revents & POLLIN) OnImageWatch();
    if (fds[1].revents & POLLIN) waker_.Clear();
    OnWake();
    if (end_ != End::kRunning) break;
    if (options_.once && EverySlotHasAResult()) end_ = End::kOnce;
    if (Clock::now() >= deadline_) end_ = End::kTimeout;
  }
}

void Server::OnSignal() {
  signalfd_siginfo info{};
  while (::read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGHUP) {
      Reload();
    } else {
      signal_ = static_cast<int>(info.ssi_signo);
      end_ = End::kSignal;
    }
  }
}

void Server::OnImageWatch() {
  if (!watch_.Changed() || change_said_) return;
  if (StampOf(options_.file) == image_stamp_) return;  // touched, not changed
  change_said_ = true;
  const ImageIdentity& served = station_.image();
  console_.Line("ternis-serve: " + options_.file +
                " changed on disk; still serving the bytes loaded (sha256 " +
                served.sha256.substr(0, 16) + "...); SIGHUP loads the new file");
  events_.Image("changed on disk", served);
}

// SIGHUP: units that start from now on get the file as it is now.
void Server::Reload() {
  if (station_.key_pool()) {
    console_.Line("ternis-serve: nothing to reload: each unit takes its key from the pool");
    return;
  }
  if (!Load()) {
    console_.Line("ternis-serve: reload failed, still serving the old file");
    return;
  }
  change_said_ = false;
  watch_.Watch(options_.file);
  const ImageIdentity& identity = station_.image();
  console_.Line("ternis-serve: reloaded " + IdentityText(identity) +
                " for the units that start from now");
  events_.Image("reloaded", identity);
}

void Server::OnWake() {
  const auto now = Clock::now();
  for (const StationEvent& event : station_.Service(now)) Tell(event);
  for (std::size_t i = 0; i < station_.slot_count(); ++i) EmitProgress(i, station_.View(i), now);
  if (redraw_due_ == Clock::time_point::max()) redraw_due_ = last_redraw_ + kRedrawInterval;
  if (now >= redraw_due_) Redraw(now);
}

void Server::Tell(const StationEvent& event) {
  switch (event.kind) {
    case StationEvent::Kind::kNotice:
      TellNotice(event);
      break;
    case StationEvent::Kind::kUnitEnded:  // already on disk
      Say(event.slot, DescribeResult(event.record.result));
      events_.Unit(event.record);
      journal_.Unit(event.record);
      if (end_ != End::kRunning && event.record.result.outcome == UnitOutcome::kAborted)
        cut_short_ = true;
      break;
    case StationEvent::Kind::kStateChanged:
      events_.Slot(station_.spec(event.slot), SlotStateName(event.state), event.reason);
      break;
    case StationEvent::Kind::kRecordFailed:
      console_.Line("ternis-serve: " + event.error + "; stopping");
      end_ = End::kRecordFailed;
      break;
    case StationEvent::Kind::kKeyPool:
      console_.Line("ternis-serve: " + event.text);
      events_.KeyPool(event.text);
      break;
  }
}

void Server::TellNotice(const StationEvent& event) {
  if (const auto line = NoticeLine(event, end_ != End::kRunning)) Say(event.slot, *line);
}

void Server::EmitProgress(std::size_t slot, const SlotView& view, Clock::time_point now) {
  if (!events_.enabled()) return;
  const SessionSnapshot& s = view.snapshot;
  if (s.state != SlotState::kServing && s.state != SlotState::kWriting) return;
  ProgressTold& told = progress_[slot];
  if (s.covered == told.covered || now - told.at < kProgressInterval) return;
  told = {s.covered, now};
  events_.Progress(view.spec.name, s.covered, s.image_size, s.percent, view.bytes_per_second,
                   view.eta_seconds);
}

void Server::Redraw(Clock::time_point now) {
  console_.Render(Rows(), now - started_);
  last_redraw_ = now;
  redraw_due_ = Clock::time_point::max();
}

std::vector<SlotRow> Server::Rows() const {
  std::vector<SlotRow> rows;
  for (std::size_t i = 0; i < station_.slot_count(); ++i) {
    const SlotView view = station_.View(i);
    const SessionSnapshot& s = view.snapshot;
    SlotRow row;
    row.name = view.spec.name;
    row.device = view.spec.device;
    row.in_unit = view.in_unit;
    row.percent = s.percent;
    row.covered = s.covered;
    row.size = s.image_size;
    row.bytes_per_second = view.bytes_per_second;
    row.eta_seconds = view.eta_seconds;
    row.passed = s.passed;
    row.failed = s.failed;
    row.aborted = s.aborted;
    row.phase = PhaseText(s, view.in_unit);
    rows.push_back(std::move(row));
  }
  return rows;
}

int Server::WaitTimeout(Clock::time_point now) const {
  Clock::time_point next = std::min(deadline_, redraw_due_);
  if (const auto due = station_.NextService()) next = std::min(next, *due);
  for (std::size_t i = 0; i < station_.slot_count(); ++i) {
    if (events_.enabled() && station_.View(i).in_unit) next = std::min(next, now + kProgressInterval);
  }
  if (next == Clock::time_point::max()) return -1;
  if (next <= now) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
}

bool Server::EverySlotHasAResult() const {
  for (std::size_t i = 0; i < station_.slot_count(); ++i) {
    const SessionSnapshot s = station_.View(i).snapshot;
    if (s.passed + s.failed + s.aborted == 0) return false;
  }
  return true;
}

// Units in progress end as aborted, and are recorded like any other.
void Server::StopAll() {
  std::vector<bool> was_open;
  for (std::size_t i = 0; i < station_.slot_count(); ++i)
    was_open.push_back(station_.session(i).IsConnected());
  const bool running = end_ == End::kRunning;
  if (running) end_ = End::kSignal;  // the loop ended on a poll error: treat as a stop
  for (const StationEvent& event : station_.StopAll()) Tell(event);
  for (std::size_t i = 0; i < station_.slot_count(); ++i) {
    if (was_open[i]) Say(i, station_.session(i).port().GetLastStatus());
  }
}

int Server::ExitStatus() const {
  bool failed = false;
  for (std::size_t i = 0; i < station_.slot_count(); ++i)
    failed |= station_.View(i).snapshot.failed > 0;
  switch (end_) {
    case End::kSignal:
      if (cut_short_) return signal_ ? 128 + signal_ : 1;
      break;
    case End::kTimeout:
      if (cut_short_ || (options_.once && !EverySlotHasAResult())) return 3;
      break;
    case End::kRecordFailed:
      return 1;
    case End::kOnce:
    case End::kRunning:
      break;
  }
  return failed || cut_short_ ? 1 : 0;
}

}  // namespace
}  // namespace ternis::serve

int main(int argc, char** argv) {
  using namespace ternis::serve;
  ServeOptions options;
  std::string error;
  switch (ParseServeOptions(argc, argv, options, error)) {
    case ParseOutcome::kHelp:
      std::fputs(kServeUsage, stdout);
      return 0;
    case ParseOutcome::kBadArguments:
      std::fprintf(stderr, "ternis-serve: %s\n\n%s", ternis::PrintableText(error).c_str(),
                   kServeUsage);
      return 2;
    case ParseOutcome::kBadConfig:
      std::fprintf(stderr,
                   "ternis-serve: %s\nternis-serve: the settings are in ternis-serve --help "
                   "and ternis-serve.conf(5)\n",
                   ternis::PrintableText(error).c_str());
      return 2;
    case ParseOutcome::kRun:
      break;
  }
  if (options.list) return ListDevices(stdout, options.json);
  if (!options.db_init.empty() || !options.pool_import.empty()) return DatabaseCommand(options);
  if (options.pool_status || !options.pool_return.empty()) return PoolCommand(options);
  Server server(options);
  return server.Run();
}
