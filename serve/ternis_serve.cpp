// ternis-serve: serves one image to set-top boxes on any number of serial
// lines at once, without the window. See --help.

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "protocol/image_file.h"
#include "serve/progress_console.h"
#include "serve/serve_options.h"
#include "station/box_session.h"

namespace ternis::serve {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// Wakes the main loop; wakes that come before it has looked are one wake.
class Waker {
 public:
  Waker() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  void Wake() {
    if (pending_.exchange(true)) return;
    const std::uint64_t one = 1;
    (void)!::write(fd_.get(), &one, sizeof one);
  }
  // Before the loop looks at the sessions, so a change after that wakes it again.
  void Clear() {
    pending_.store(false);
    std::uint64_t count;
    (void)!::read(fd_.get(), &count, sizeof count);
  }

 private:
  UniqueFd fd_;
  std::atomic<bool> pending_{false};
};

// One device's session and what the server does with its events. The frame
// calls (verbose lines only) come on the receive thread.
class Slot : public SessionObserver {
 public:
  Slot(std::string name, const ServeOptions& options, Waker& waker, ProgressConsole& console)
      : name_(std::move(name)),
        verbose_(options.verbose),
        waker_(waker),
        console_(console),
        session_(this, SessionOptionsFor(options)) {}

  const std::string& name() const { return name_; }
  BoxSession& session() { return session_; }
  void Say(const std::string& text) { console_.Line(name_ + ": " + text); }

  void OnChanged() override { waker_.Wake(); }
  void OnBootUp(const BootUpEvent& event) override {
    if (verbose_) Say(std::string("boot-up, acknowledgement: ") + WriteStatusName(event.ack));
  }
  void OnDataServed(const DataServedEvent& event) override {
    if (!verbose_) return;
    char text[128];
    std::snprintf(text, sizeof text, "served %u bytes at %u (%s)", event.length, event.offset,
                  WriteStatusName(event.write));
    Say(text);
  }
  void OnNoImage(const NoImageEvent&) override { Say("asked for data, but no file is loaded"); }
  void OnTimeServed(const TimeServedEvent& event) override {
    if (verbose_) Say("time request answered with " + FormatDateTimeCode(event.code));
  }

  // On the main loop: prints what happened since it last looked.
  void Report() {
    for (const SessionNotice& notice : session_.TakeNotices()) {
      if (notice.kind == NoticeKind::kUnitStarted) {
        Say("unit " + std::to_string(notice.unit) + " started (" + notice.text + ")");
      } else if (notice.kind == NoticeKind::kDeviceLost) {
        Say(notice.text + "; waiting for it to come back");
      } else {
        Say(notice.text);
      }
    }
    for (const UnitResult& result : session_.TakeResults()) Say(DescribeResult(result));
  }

  bool has_result() const {
    const SessionSnapshot s = session_.Snapshot();
    return s.passed + s.failed + s.aborted > 0;
  }

 private:
  static SessionOptions SessionOptionsFor(const ServeOptions& options) {
    SessionOptions session;
    session.unit_timeout = std::chrono::milliseconds(
        static_cast<long long>(options.unit_timeout_seconds * 1000.0 + 0.5));
    return session;
  }

  const std::string name_;
  const bool verbose_;
  Waker& waker_;
  ProgressConsole& console_;
  BoxSession session_;
};

int MillisecondsUntil(Clock::time_point when, Clock::time_point now) {
  if (when <= now) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(when - now).count());
}

// A finished unit keeps showing its result until the box boots again.
std::string PhaseText(const SessionSnapshot& s) {
  const bool in_unit = s.state == SlotState::kBooted || s.state == SlotState::kServing ||
                       s.state == SlotState::kWriting;
  if (in_unit || !s.last_result) return SlotStateName(s.state);
  const UnitResult& r = *s.last_result;
  char text[64];
  std::snprintf(text, sizeof text, "%s in %.1f s",
                r.outcome == UnitOutcome::kPass   ? "PASS"
                : r.outcome == UnitOutcome::kFail ? "FAIL"
                                                  : "ABORTED",
                r.duration_s);
  std::string phase = text;
  if (!r.reason.empty()) phase += ": " + r.reason;
  if (s.state == SlotState::kWaitingForDevice) phase += "; waiting for device";
  return phase;
}

class Server {
 public:
  Server(const ServeOptions& options, std::shared_ptr<const ImageSnapshot> image)
      : options_(options), image_(std::move(image)), console_(stderr, ::isatty(2) == 1) {}

  int Run();

 private:
  bool OpenAll();
  void ServiceAll();
  void Redraw(Clock::time_point now);
  bool EverySlotHasAResult() const;
  bool EveryUnitPassed() const;
  void StopAll();
  int WaitTimeout(Clock::time_point now) const;

  const ServeOptions& options_;
  std::shared_ptr<const ImageSnapshot> image_;
  ProgressConsole console_;
  Waker waker_;
  UniqueFd signals_;
  std::vector<std::unique_ptr<Slot>> slots_;
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point redraw_due_ = Clock::time_point::max();
  Clock::time_point last_redraw_{};
};

bool Server::OpenAll() {
  for (const std::string& device : options_.devices) {
    auto slot = std::make_unique<Slot>(device, options_, waker_, console_);
    slot->session().AdoptImage(image_);
    const bool connected = slot->session().Connect(device, options_.line);
    slot->Report();
    if (!connected) return false;
    slot->Say(slot->session().port().GetLastStatus());
    slots_.push_back(std::move(slot));
  }
  return true;
}

int Server::Run() {
  // Signals arrive as readable bytes on signals_, handled by this loop; the
  // receive threads inherit the mask and never see them.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  signals_.reset(::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!waker_.valid() || !signals_.valid()) {
    std::perror("ternis-serve");
    return 1;
  }

  if (!OpenAll()) {
    StopAll();
    return 1;
  }
  if (options_.timeout_seconds) {
    deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(*options_.timeout_seconds));
  }
  Redraw(Clock::now());

  int status = 0;
  for (;;) {
    pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {waker_.fd(), POLLIN, 0}};
    if (::poll(fds, 2, WaitTimeout(Clock::now())) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) break;  // SIGINT or SIGTERM: orderly end, status 0
    if (fds[1].revents & POLLIN) waker_.Clear();
    ServiceAll();
    const auto now = Clock::now();
    if (redraw_due_ == Clock::time_point::max()) redraw_due_ = last_redraw_ + kRedrawInterval;
    if (now >= redraw_due_) Redraw(now);
    if (options_.once && EverySlotHasAResult()) {
      status = EveryUnitPassed() ? 0 : 1;
      break;
    }
    if (now >= deadline_) {
      if (!EverySlotHasAResult()) {
        console_.Line("ternis-serve: timed out before every box finished");
        status = 1;
      }
      break;
    }
  }
  StopAll();
  Redraw(Clock::now());
  console_.Finish();
  return status;
}

void Server::ServiceAll() {
  for (auto& slot : slots_) {
    slot->session().Service();
    slot->Report();
  }
}

int Server::WaitTimeout(Clock::time_point now) const {
  Clock::time_point next = std::min(deadline_, redraw_due_);
  for (const auto& slot : slots_) {
    if (const auto due = slot->session().NextService()) next = std::min(next, *due);
  }
  return next == Clock::time_point::max() ? -1 : MillisecondsUntil(next, now);
}

void Server::Redraw(Clock::time_point now) {
  std::vector<PortView> views;
  for (const auto& slot : slots_) {
    const SessionSnapshot s = slot->session().Snapshot();
    PortView view;
    view.device = slot->name();
    view.image_size = image_->contents().size();
    view.percent = s.percent;
    view.bytes = s.covered;
    view.phase = PhaseText(s);
    views.push_back(std::move(view));
  }
  console_.Render(views, now);
  last_redraw_ = now;
  redraw_due_ = Clock::time_point::max();
}

bool Server::EverySlotHasAResult() const {
  return std::all_of(slots_.begin(), slots_.end(),
                     [](const auto& slot) { return slot->has_result(); });
}

bool Server::EveryUnitPassed() const {
  return std::all_of(slots_.begin(), slots_.end(), [](const auto& slot) {
    const SessionSnapshot s = slot->session().Snapshot();
    return s.failed == 0 && s.aborted == 0;
  });
}

// Units in progress end as aborted; each port says how it closed.
void Server::StopAll() {
  for (auto& slot : slots_) {
    const bool was_open = slot->session().IsConnected();
    slot->session().Stop();
    slot->Report();
    if (was_open) slot->Say(slot->session().port().GetLastStatus());
  }
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
  int load_error = 0;
  auto image = ternis::ImageSnapshot::Load(options.file, &load_error);
  if (!image) {
    std::fprintf(stderr, "ternis-serve: cannot load %s: %s\n", options.file.c_str(),
                 std::strerror(load_error));
    return 1;
  }
  Server server(options, std::move(image));
  return server.Run();
}
