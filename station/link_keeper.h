#pragma once
// Keeps one box's port open. It opens and configures the port, releases a
// device that went away once its loss has been told, and opens the same
// path again, with the line settings that last worked, every
// retry_interval until it is back (retry_after_error for a device that is
// there but refuses). A device that could not be opened at all is waited
// for only with wait_for_missing. Why it cannot be opened is told once,
// and again only when the reason changes.
//
// Threads: the owner's thread calls everything but LossTold (the receive
// thread) and state() (any thread). It knows nothing of units.

#include <atomic>
#include <optional>
#include <string>

#include "link/serial_port.h"
#include "station/session_notice.h"
#include "station/session_options.h"
#include "station/unit_result.h"

namespace ternis {

class LinkKeeper {
 public:
  enum class State : std::uint8_t { kClosed, kOpen, kWaiting };

  // The keeper's session, told on the owner's thread.
  class Owner {
   public:
    virtual ~Owner() = default;
    // Around closing the port: the receive thread may be waiting on the
    // owner's thread and must be let go before the port joins it.
    virtual void OnLinkClosing() = 0;
    virtual void OnLinkClosed() = 0;
    virtual void OnLinkNotice(SessionNotice notice) = 0;
    // state() or the problem changed.
    virtual void OnLinkChanged() = 0;
  };

  LinkKeeper(Owner& owner, const SessionOptions& options) : owner_(owner), options_(options) {
    port_.SetReceiveNice(options.receive_nice);
  }
  LinkKeeper(const LinkKeeper&) = delete;
  LinkKeeper& operator=(const LinkKeeper&) = delete;

  bool OpenIndex(int index);
  bool OpenPath(const std::string& path);
  bool Configure(const LineSettings& line);
  bool KeepForReopen(const LineSettings& line);
  void Close();
  bool Connect(const std::string& path, const LineSettings& line, SteadyTime now);
  // Releases a lost device once its loss was told; opens it again when due.
  void Service(SteadyTime now);
  // When Service next has a device to try; nullopt when none is waited for.
  std::optional<SteadyTime> NextRetry() const;
  // The receive thread has told the loss to everyone who listens.
  void LossTold() { loss_told_.store(true); }

  State state() const { return state_.load(); }
  const std::string& device() const { return device_; }    // served, and opened again
  const std::string& problem() const { return problem_; }  // why it waits for the device
  int problem_error() const { return problem_error_; }
  SerialPort& port() { return port_; }
  const SerialPort& port() const { return port_; }

 private:
  bool OpenAndConfigure(const std::string& path, const LineSettings& line);
  void CloseThroughOwner();
  void TryReopen(SteadyTime now);
  void SetState(State state, std::string problem = {}, int error = 0);
  SessionNotice CannotOpen(const std::string& failure) const;
  std::string OpenFailure() const;
  // Missing devices are looked for often, others that fail less often.
  std::chrono::milliseconds RetryInterval(int error) const;

  Owner& owner_;
  const SessionOptions options_;
  SerialPort port_;
  std::atomic<State> state_{State::kClosed};
  std::atomic<bool> loss_told_{false};
  std::string device_;
  std::optional<LineSettings> line_;  // the line it had when it last worked
  bool reopen_ = false;               // Service opens device_ again
  bool configure_failed_ = false;     // the last attempt opened but could not set the line
  std::string failure_told_;          // the open failure last told
  SteadyTime next_retry_{};
  std::string problem_;
  int problem_error_ = 0;
};

}  // namespace ternis
