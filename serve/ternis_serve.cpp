// ternis-serve: serves one image to set-top boxes on any number of serial
// lines at once, unit after unit, with a record of every unit. See --help.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "protocol/image_file.h"
#include "serve/console_view.h"
#include "serve/device_list.h"
#include "serve/event_stream.h"
#include "serve/image_watch.h"
#include "serve/journal_log.h"
#include "serve/serve_options.h"
#include "serve/slot.h"
#include "station/image_digest.h"
#include "station/key_file_check.h"
#include "station/record_file.h"

#ifndef TERNIS_VERSION
#define TERNIS_VERSION "0"
#endif

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

std::string ShortSha(const std::string& sha) {
  return sha.substr(0, 16) + "...";
}

class Server {
 public:
  explicit Server(const ServeOptions& options)
      : options_(options),
        console_(stderr, ::isatty(2) == 1),
        events_(options.json ? stdout : nullptr),
        journal_(options.journal),
        host_(HostName()) {}

  int Run();

 private:
  bool Load(std::string& error);
  bool Setup();
  void ConnectAll();
  void Loop();
  void OnWake();
  void OnSignal();
  void OnImageWatch();
  void Reload();
  void ServiceSlot(Slot& slot, Clock::time_point now);
  bool RecordResult(Slot& slot, const UnitResult& result);
  void Redraw(Clock::time_point now);
  void EmitProgress(Slot& slot, Clock::time_point now);
  void StopAll();
  int ExitStatus() const;
  int WaitTimeout(Clock::time_point now) const;
  bool EverySlotHasAResult() const;
  std::vector<SlotRow> Rows() const;
  ImageIdentity IdentityOf(std::uint64_t image_id) const;

  const ServeOptions& options_;
  ConsoleView console_;
  EventStream events_;
  JournalLog journal_;
  const std::string host_;
  RecordFile records_;
  Waker waker_;
  UniqueFd signals_;
  ImageWatch watch_;
  std::shared_ptr<const ImageSnapshot> image_;
  std::optional<FileStamp> image_stamp_;
  bool change_said_ = false;
  bool unlocked_said_ = false;
  std::map<std::uint64_t, ImageIdentity> identities_;  // every image served, by snapshot id
  std::vector<std::unique_ptr<Slot>> slots_;
  Clock::time_point started_ = Clock::now();
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point redraw_due_ = Clock::time_point::max();
  Clock::time_point last_redraw_{};
  enum class End { kRunning, kOnce, kTimeout, kSignal, kRecordFailed } end_ = End::kRunning;
  int signal_ = 0;
  bool cut_short_ = false;  // a unit was in progress when the server stopped
};

bool Server::Load(std::string& error) {
  if (options_.key) {
    for (const std::string& warning : KeyFileWarnings(options_.file))
      console_.Line("ternis-serve: warning: " + warning);
  }
  int load_error = 0;
  auto image = ImageSnapshot::Load(options_.file, &load_error, options_.key);
  if (!image) {
    error = "cannot load " + options_.file + ": " + std::strerror(load_error);
    return false;
  }
  if (image->secret() && !image->locked() && !unlocked_said_) {
    unlocked_said_ = true;
    console_.Line("ternis-serve: the key could not be locked in memory (RLIMIT_MEMLOCK); it may "
                  "reach swap");
  }
  ImageIdentity identity{options_.file, image->contents().size(), Sha256Hex(image->contents())};
  identities_[image->id()] = identity;
  image_stamp_ = StampOf(options_.file);
  image_ = std::move(image);
  return true;
}

int Server::Run() {
  std::string error;
  if (!Load(error)) {
    std::fprintf(stderr, "ternis-serve: %s\n", error.c_str());
    return 1;
  }
  if (!options_.record_path.empty() && !records_.Open(options_.record_path, error)) {
    std::fprintf(stderr, "ternis-serve: cannot open the record file %s: %s\n",
                 options_.record_path.c_str(), error.c_str());
    return 1;
  }
  if (!Setup()) return 1;

  const ImageIdentity& identity = identities_.at(image_->id());
  console_.Line("ternis-serve: serving " + identity.path + " (" +
                std::to_string(identity.size) + " bytes, sha256 " + identity.sha256 + ")");
  std::size_t width = 0;
  for (const auto& slot : slots_) width = std::max(width, slot->name().size());
  for (const auto& slot : slots_) {
    console_.Line("  " + slot->name() + std::string(width - slot->name().size() + 2, ' ') +
                  slot->device());
  }
  events_.Start(identity, options_.slots);

  if (options_.timeout_seconds) {
    deadline_ = started_ + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(*options_.timeout_seconds));
  }
  ConnectAll();
  Loop();
  StopAll();
  const int status = ExitStatus();
  Redraw(Clock::now());
  console_.Summary(Rows());
  std::vector<SlotTotals> totals;
  for (const auto& slot : slots_) {
    const SessionSnapshot s = slot->session().Snapshot();
    totals.push_back({slot->name(), s.passed, s.failed, s.aborted});
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
    std::fprintf(stderr, "ternis-serve: %s\n", std::strerror(errno));
    return false;
  }
  if (!watch_.Watch(options_.file))
    console_.Line("ternis-serve: cannot watch " + options_.file + " for changes");
  for (const SlotSpec& spec : options_.slots)
    slots_.push_back(std::make_unique<Slot>(spec, options_, waker_, console_));
  return true;
}

// A device that is missing or refuses is waited for; the others serve on.
void Server::ConnectAll() {
  for (auto& slot : slots_) {
    slot->session().AdoptImage(image_);
    if (slot->session().Connect(slot->device(), options_.line))
      slot->Say(slot->session().port().GetLastStatus());
  }
  OnWake();
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
  const ImageIdentity& served = identities_.at(image_->id());
  console_.Line("ternis-serve: " + options_.file +
                " changed on disk; still serving the bytes loaded (sha256 " +
                ShortSha(served.sha256) + "); SIGHUP loads the new file");
  events_.Image("changed on disk", served);
}

// SIGHUP: units that start from now on get the file as it is now.
void Server::Reload() {
  std::string error;
  const auto old = image_;
  if (!Load(error)) {
    image_ = old;
    console_.Line("ternis-serve: reload failed, still serving the old file: " + error);
    return;
  }
  change_said_ = false;
  watch_.Watch(options_.file);
  for (auto& slot : slots_) slot->session().AdoptImageForNextUnit(image_);
  const ImageIdentity& identity = identities_.at(image_->id());
  console_.Line("ternis-serve: reloaded " + identity.path + " (" + std::to_string(identity.size) +
                " bytes, sha256 " + identity.sha256 + ") for the units that start from now");
  events_.Image("reloaded", identity);
}

void Server::OnWake() {
  const auto now = Clock::now();
  for (auto& slot : slots_) {
    ServiceSlot(*slot, now);
    if (end_ == End::kRecordFailed) return;
  }
  if (redraw_due_ == Clock::time_point::max()) redraw_due_ = last_redraw_ + kRedrawInterval;
  if (now >= redraw_due_) Redraw(now);
}

// Results are recorded (on disk) before anything shows them.
void Server::ServiceSlot(Slot& slot, Clock::time_point now) {
  slot.session().Service();
  slot.ReportNotices();
  for (const UnitResult& result : slot.session().TakeResults()) {
    if (!RecordResult(slot, result)) return;
  }
  const SessionSnapshot s = slot.session().Snapshot();
  slot.meter().Sample(s.unit, s.covered, now);
  if (slot.StateChanged(s)) events_.Slot(slot.spec(), SlotStateName(s.state), slot.Reason(s));
  EmitProgress(slot, now);
}

bool Server::RecordResult(Slot& slot, const UnitResult& result) {
  UnitRecord record{slot.name(), slot.device(), IdentityOf(result.image_id), result, host_,
                    TERNIS_VERSION};
  if (records_.is_open()) {
    std::string error;
    if (!records_.Append(record, error)) {
      console_.Line("ternis-serve: cannot write the record file " + records_.path() + ": " + error +
                    "; stopping");
      end_ = End::kRecordFailed;
      return false;
    }
  }
  slot.Say(DescribeResult(result));
  events_.Unit(record);
  journal_.Unit(record);
  return true;
}

ImageIdentity Server::IdentityOf(std::uint64_t image_id) const {
  const auto it = identities_.find(image_id);
  if (it != identities_.end()) return it->second;
  return identities_.at(image_->id());  // a unit that never saw data: the image served now
}

void Server::EmitProgress(Slot& slot, Clock::time_point now) {
  if (!events_.enabled()) return;
  const SessionSnapshot s = slot.session().Snapshot();
  const bool in_unit = s.state == SlotState::kServing || s.state == SlotState::kWriting;
  if (!in_unit || !slot.ProgressDue(s.covered, now, kProgressInterval)) return;
  events_.Progress(slot.name(), s.covered, s.image_size, s.percent,
                   slot.meter().bytes_per_second(),
                   slot.meter().EtaSeconds(s.covered, s.image_size));
}

void Server::Redraw(Clock::time_point now) {
  console_.Render(Rows(), now - started_);
  last_redraw_ = now;
  redraw_due_ = Clock::time_point::max();
}

std::vector<SlotRow> Server::Rows() const {
  std::vector<SlotRow> rows;
  for (const auto& slot : slots_) rows.push_back(slot->Row());
  return rows;
}

int Server::WaitTimeout(Clock::time_point now) const {
  Clock::time_point next = std::min(deadline_, redraw_due_);
  for (const auto& slot : slots_) {
    if (const auto due = slot->session().NextService()) next = std::min(next, *due);
    if (slot->meter_running()) next = std::min(next, now + kProgressInterval);
  }
  if (next == Clock::time_point::max()) return -1;
  if (next <= now) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
}

bool Server::EverySlotHasAResult() const {
  return std::all_of(slots_.begin(), slots_.end(), [](const auto& slot) {
    const SessionSnapshot s = slot->session().Snapshot();
    return s.passed + s.failed + s.aborted > 0;
  });
}

// Units in progress end as aborted, and are recorded like any other.
void Server::StopAll() {
  for (auto& slot : slots_) {
    const bool was_open = slot->session().IsConnected();
    const std::uint64_t aborted_before = slot->session().Snapshot().aborted;
    slot->session().Stop();
    if (slot->session().Snapshot().aborted > aborted_before) cut_short_ = true;
    slot->ReportNotices();
    for (const UnitResult& result : slot->session().TakeResults()) RecordResult(*slot, result);
    if (was_open) slot->Say(slot->session().port().GetLastStatus());
  }
}

int Server::ExitStatus() const {
  bool failed = false;
  for (const auto& slot : slots_) failed |= slot->session().Snapshot().failed > 0;
  switch (end_) {
    case End::kSignal:
      if (cut_short_) return 128 + signal_;
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
      std::fprintf(stderr, "ternis-serve: %s\n\n%s", error.c_str(), kServeUsage);
      return 2;
    case ParseOutcome::kRun:
      break;
  }
  if (options.list) return ListDevices(stdout, options.json);
  Server server(options);
  return server.Run();
}
