#include "station/link_keeper.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace ternis {

bool LinkKeeper::OpenIndex(int index) {
  loss_told_.store(false);
  if (!port_.Open(index)) return false;
  SetState(State::kOpen);
  return true;
}

bool LinkKeeper::OpenPath(const std::string& path) {
  loss_told_.store(false);
  if (!port_.OpenPath(path)) return false;
  SetState(State::kOpen);
  return true;
}

bool LinkKeeper::Configure(const LineSettings& line) {
  if (port_.Configure(line)) {
    device_ = port_.device_path();
    line_ = line;
    reopen_ = true;  // it worked: worth opening again if it goes away
    return true;
  }
  if (port_.line_state_unreadable()) {
    const std::string status = port_.GetLastStatus();
    const int error = port_.GetLastError();
    Close();
    port_.SetLastStatus(error, status);  // the reason, not "Disconnected"
  }
  return false;
}

bool LinkKeeper::KeepForReopen(const LineSettings& line) {
  if (!reopen_ || (state_.load() != State::kWaiting && !port_.IsDeviceLost())) return false;
  line_ = line;
  return true;
}

void LinkKeeper::Close() {
  reopen_ = false;
  CloseThroughOwner();
  SetState(State::kClosed);
}

void LinkKeeper::CloseThroughOwner() {
  owner_.OnLinkClosing();
  port_.Close();
  owner_.OnLinkClosed();
}

bool LinkKeeper::Connect(const std::string& path, const LineSettings& line, SteadyTime now) {
  device_ = path;
  if (OpenAndConfigure(path, line)) return true;
  const std::string failure = OpenFailure();
  line_ = line;
  reopen_ = options_.wait_for_missing;
  next_retry_ = now + RetryInterval(port_.GetLastError());
  owner_.OnLinkNotice(CannotOpen(failure));
  failure_told_ = failure;
  SetState(reopen_ ? State::kWaiting : State::kClosed, failure, port_.GetLastError());
  return false;
}

bool LinkKeeper::OpenAndConfigure(const std::string& path, const LineSettings& line) {
  configure_failed_ = false;
  if (!OpenPath(path)) return false;
  if (Configure(line)) return true;
  configure_failed_ = true;
  const std::string status = port_.GetLastStatus();
  const int error = port_.GetLastError();
  CloseThroughOwner();
  port_.SetLastStatus(error, status);
  return false;
}

void LinkKeeper::Service(SteadyTime now) {
  // Only once the receive thread has told the loss: releasing the port
  // earlier would make the window give that up half-told, and reopening
  // while the dead descriptor is held would fail on the port itself.
  if (port_.IsDeviceLost()) {
    if (!loss_told_.load()) return;  // the tell wakes the owner again
    CloseThroughOwner();  // release the dead descriptor at once
    next_retry_ = now + options_.retry_interval;
  }
  if (!port_.IsConnected() && state_.load() == State::kOpen)
    SetState(reopen_ ? State::kWaiting : State::kClosed, "device lost", ENODEV);
  if (state_.load() == State::kWaiting && now >= next_retry_) TryReopen(now);
}

void LinkKeeper::TryReopen(SteadyTime now) {
  if (!line_) return;
  const std::string device = device_;
  const LineSettings line = *line_;
  if (OpenAndConfigure(device, line)) {
    owner_.OnLinkNotice({NoticeKind::kConnected, port_.GetLastStatus()});
    failure_told_.clear();
    SetState(State::kOpen);
    return;
  }
  const std::string failure = OpenFailure();
  next_retry_ = now + RetryInterval(port_.GetLastError());
  // Compared with what was told, not with problem_: the attempt itself
  // clears that when the device opens but is no terminal.
  if (failure != failure_told_) owner_.OnLinkNotice(CannotOpen(failure));
  failure_told_ = failure;
  SetState(State::kWaiting, failure, port_.GetLastError());
}

std::optional<SteadyTime> LinkKeeper::NextRetry() const {
  if (state_.load() == State::kWaiting && line_) return next_retry_;
  return std::nullopt;
}

void LinkKeeper::SetState(State state, std::string problem, int error) {
  state_.store(state);
  problem_error_ = problem.empty() ? 0 : error;
  problem_ = std::move(problem);
  owner_.OnLinkChanged();
}

SessionNotice LinkKeeper::CannotOpen(const std::string& failure) const {
  SessionNotice notice{NoticeKind::kCannotOpen, failure, port_.GetLastError()};
  notice.configuring = configure_failed_;
  return notice;
}

std::chrono::milliseconds LinkKeeper::RetryInterval(int error) const {
  return error == ENOENT || error == ENODEV || error == ENXIO ? options_.retry_interval
                                                              : options_.retry_after_error;
}

std::string LinkKeeper::OpenFailure() const {
  std::string text = port_.GetLastStatus();
  if (port_.GetLastError() != 0)
    text += std::string(" (") + std::strerror(port_.GetLastError()) + ")";
  return text;
}

}  // namespace ternis
