// ternis-serve: serves one image to set-top boxes on any number of serial
// lines at once, without the window. See --help.

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/serial_port.h"
#include "protocol/image_file.h"
#include "tools/port_session.h"
#include "tools/progress_console.h"
#include "tools/serve_options.h"

namespace ternis::serve {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr auto kReconnectInterval = std::chrono::seconds(1);

struct ServedPort {
  ServedPort(const std::string& device, ProgressConsole& console, bool verbose, int wake_fd)
      : session(device, port.engine(), console, verbose, wake_fd), device(device) {}
  SerialPort port;
  PortSession session;
  std::string device;
  bool lost = false;
  std::string last_failure;  // so a device that stays away is reported once
};

std::string Reason(const SerialPort& port) {
  std::string text = port.GetLastStatus();
  if (port.GetLastError() != 0)
    text += std::string(" (") + std::strerror(port.GetLastError()) + ")";
  return text;
}

// Opens and configures the port; on failure, `failure` says why.
bool Connect(ServedPort& served, const LineSettings& line,
             const std::shared_ptr<const ImageSnapshot>& image, std::string& failure) {
  SerialPort& port = served.port;
  port.engine().image().Adopt(image);
  if (!port.OpenPath(served.device)) {
    failure = Reason(port);
    return false;
  }
  if (!port.Configure(line.baud, line.data_bits, line.parity, line.stop_bits)) {
    failure = Reason(port);
    port.Close();
    return false;
  }
  port.SetNotifyWindow(&served.session);
  return true;
}

void TryReconnect(ServedPort& served, const LineSettings& line,
                  const std::shared_ptr<const ImageSnapshot>& image) {
  served.port.Close();
  std::string failure;
  if (Connect(served, line, image, failure)) {
    served.lost = false;
    served.last_failure.clear();
    served.session.Say(served.port.GetLastStatus());
    return;
  }
  if (failure != served.last_failure) served.session.Say(failure);  // log changes only
  served.last_failure = failure;
}

int MillisecondsUntil(Clock::time_point when, Clock::time_point now) {
  if (when <= now) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(when - now).count());
}

class Server {
 public:
  Server(const ServeOptions& options, std::shared_ptr<const ImageSnapshot> image)
      : options_(options), image_(std::move(image)), console_(stderr, ::isatty(2) == 1) {}

  int Run();

 private:
  bool OpenAll();
  void Redraw(Clock::time_point now);
  bool AllFinished() const;
  void CloseAll();
  int WaitTimeout(Clock::time_point now) const;

  const ServeOptions& options_;
  std::shared_ptr<const ImageSnapshot> image_;
  ProgressConsole console_;
  UniqueFd wake_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  UniqueFd signals_;
  std::vector<std::unique_ptr<ServedPort>> ports_;
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point redraw_due_ = Clock::time_point::max();
  Clock::time_point reconnect_due_ = Clock::time_point::max();
  Clock::time_point last_redraw_{};
};

bool Server::OpenAll() {
  for (const std::string& device : options_.devices) {
    auto served = std::make_unique<ServedPort>(device, console_, options_.verbose, wake_.get());
    std::string failure;
    if (!Connect(*served, options_.line, image_, failure)) {
      served->session.Say(failure);
      return false;
    }
    served->session.Say(served->port.GetLastStatus());
    ports_.push_back(std::move(served));
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

  if (!OpenAll()) {
    CloseAll();
    return 1;
  }
  if (options_.timeout_seconds) {
    deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(*options_.timeout_seconds));
  }
  Redraw(Clock::now());

  int status = 0;
  for (;;) {
    pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    if (::poll(fds, 2, WaitTimeout(Clock::now())) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) break;  // SIGINT or SIGTERM: orderly end, status 0
    if (fds[1].revents & POLLIN) {
      for (auto& served : ports_) served->session.ClearWakePending();
      std::uint64_t count;
      (void)!::read(wake_.get(), &count, sizeof count);
      if (redraw_due_ == Clock::time_point::max()) redraw_due_ = last_redraw_ + kRedrawInterval;
    }
    const auto now = Clock::now();
    for (auto& served : ports_) {
      if (served->port.IsDeviceLost() && !served->lost) {
        served->lost = true;
        served->session.Say("device gone; waiting for it to come back");
        reconnect_due_ = std::min(reconnect_due_, now + kReconnectInterval);
        redraw_due_ = now;
      }
    }
    if (now >= reconnect_due_) {
      reconnect_due_ = Clock::time_point::max();
      for (auto& served : ports_) {
        if (!served->lost) continue;
        TryReconnect(*served, options_.line, image_);
        if (served->lost) reconnect_due_ = now + kReconnectInterval;
      }
    }
    if (now >= redraw_due_) Redraw(now);
    if (options_.once && AllFinished()) {
      // The time request was seen; let its reply go out before closing.
      for (auto& served : ports_) served->port.WaitForReceiveIdle();
      break;
    }
    if (now >= deadline_) {
      if (!AllFinished()) {
        console_.Line("ternis-serve: timed out before every box finished");
        status = 1;
      }
      break;
    }
  }
  Redraw(Clock::now());
  console_.Finish();
  CloseAll();
  return status;
}

int Server::WaitTimeout(Clock::time_point now) const {
  const auto next = std::min({deadline_, redraw_due_, reconnect_due_});
  return next == Clock::time_point::max() ? -1 : MillisecondsUntil(next, now);
}

void Server::Redraw(Clock::time_point now) {
  std::vector<PortView> views;
  for (const auto& served : ports_)
    views.push_back(served->session.View(image_->contents().size(), !served->lost));
  console_.Render(views, now);
  last_redraw_ = now;
  redraw_due_ = Clock::time_point::max();
}

bool Server::AllFinished() const {
  return std::all_of(ports_.begin(), ports_.end(),
                     [](const auto& served) { return served->session.finished(); });
}

void Server::CloseAll() {
  for (auto& served : ports_) {
    const bool was_open = !served->lost;
    served->port.Close();
    if (was_open) served->session.Say(served->port.GetLastStatus());
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
