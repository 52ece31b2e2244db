#pragma once
// One served device: its box session, and what the server shows and tells
// of it. The frame calls (verbose lines only) come on the port's receive
// thread; everything else runs on the main loop.

#include <atomic>
#include <chrono>
#include <string>

#include "protocol/unique_fd.h"
#include "serve/console_view.h"
#include "serve/serve_options.h"
#include "serve/slot_meter.h"
#include "station/box_session.h"
#include "station/port_diagnosis.h"

namespace ternis::serve {

// Wakes the main loop; wakes that come before it has looked are one wake.
class Waker {
 public:
  Waker();
  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  void Wake();
  // Before the loop looks at the sessions, so a change after that wakes it again.
  void Clear();

 private:
  UniqueFd fd_;
  std::atomic<bool> pending_{false};
};

class Slot : public SessionObserver {
 public:
  using Clock = std::chrono::steady_clock;

  Slot(SlotSpec spec, const ServeOptions& options, Waker& waker, ConsoleView& console);

  const SlotSpec& spec() const { return spec_; }
  const std::string& name() const { return spec_.name; }
  const std::string& device() const { return spec_.device; }
  BoxSession& session() { return session_; }
  const BoxSession& session() const { return session_; }
  SlotMeter& meter() { return meter_; }
  bool meter_running() const { return in_unit_; }

  void Say(const std::string& text) { console_.Line(spec_.name + ": " + text); }
  // Prints what the session has to say since it was last asked.
  void ReportNotices();
  // True when the state differs from the one last seen here.
  bool StateChanged(const SessionSnapshot& s);
  // Why a slot waits or failed; empty otherwise.
  static std::string Reason(const SessionSnapshot& s);
  // True at most once per `interval`, and only when `covered` moved.
  bool ProgressDue(std::uint64_t covered, Clock::time_point now, Clock::duration interval);
  SlotRow Row() const;

  void OnChanged() override { waker_.Wake(); }
  void OnBootUp(const BootUpEvent& event) override;
  void OnDataServed(const DataServedEvent& event) override;
  void OnNoImage(const NoImageEvent& event) override;
  void OnTimeServed(const TimeServedEvent& event) override;

 private:
  static SessionOptions SessionOptionsFor(const ServeOptions& options);
  PortDiagnosis Diagnose(const SessionNotice& notice) const;

  const SlotSpec spec_;
  const bool verbose_;
  const LineSettings line_;
  Waker& waker_;
  ConsoleView& console_;
  SlotMeter meter_;
  std::optional<SlotState> shown_state_;
  bool in_unit_ = false;
  std::uint64_t progress_covered_ = ~0ull;
  Clock::time_point progress_at_{};
  BoxSession session_;  // last: it stops, and calls back, before the rest goes
};

}  // namespace ternis::serve
