#include "serve/slot.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "station/serial_inventory.h"

namespace ternis::serve {

Waker::Waker() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Waker::Wake() {
  if (pending_.exchange(true)) return;
  const std::uint64_t one = 1;
  (void)!::write(fd_.get(), &one, sizeof one);
}

void Waker::Clear() {
  pending_.store(false);
  std::uint64_t count;
  (void)!::read(fd_.get(), &count, sizeof count);
}

Slot::Slot(SlotSpec spec, const ServeOptions& options, Waker& waker, ConsoleView& console)
    : spec_(std::move(spec)),
      verbose_(options.verbose),
      line_(options.line),
      waker_(waker),
      console_(console),
      session_(this, SessionOptionsFor(options)) {}

SessionOptions Slot::SessionOptionsFor(const ServeOptions& options) {
  SessionOptions session;
  session.unit_timeout = std::chrono::milliseconds(
      static_cast<long long>(options.unit_timeout_seconds * 1000.0 + 0.5));
  session.wait_for_missing = true;
  return session;
}

void Slot::ReportNotices() {
  for (const SessionNotice& notice : session_.TakeNotices()) {
    switch (notice.kind) {
      case NoticeKind::kUnitStarted:
        Say("unit " + std::to_string(notice.unit) + " started (" + notice.text + ")");
        break;
      case NoticeKind::kDeviceLost:
        Say(notice.text + "; waiting for it to come back");
        break;
      case NoticeKind::kCannotOpen:
        Say(Diagnose(notice).Text() +
            (notice.error == ENOENT ? "; waiting for it" : "; trying again every few seconds"));
        break;
      case NoticeKind::kConnected:
        Say(notice.text);
        break;
    }
  }
}

PortDiagnosis Slot::Diagnose(const SessionNotice& notice) const {
  PortFailure failure;
  failure.path = spec_.device;
  failure.error = notice.error;
  failure.configuring = notice.configuring;
  failure.line = line_;
  if (notice.error == ENOENT) failure.similar_devices = ClosestNodes(spec_.device, ListSerialDevices(), 3);
  return DiagnosePort(failure);
}

bool Slot::StateChanged(const SessionSnapshot& s) {
  in_unit_ = s.state == SlotState::kBooted || s.state == SlotState::kServing ||
             s.state == SlotState::kWriting;
  if (shown_state_ == s.state) return false;
  shown_state_ = s.state;
  return true;
}

std::string Slot::Reason(const SessionSnapshot& s) {
  if (s.state == SlotState::kWaitingForDevice) return s.problem;
  if ((s.state == SlotState::kFailed || s.state == SlotState::kAborted) && s.last_result)
    return s.last_result->reason;
  return {};
}

bool Slot::ProgressDue(std::uint64_t covered, Clock::time_point now, Clock::duration interval) {
  if (covered == progress_covered_ || now - progress_at_ < interval) return false;
  progress_covered_ = covered;
  progress_at_ = now;
  return true;
}

// A finished unit keeps showing its result until the box boots again.
SlotRow Slot::Row() const {
  const SessionSnapshot s = session_.Snapshot();
  SlotRow row;
  row.name = spec_.name;
  row.device = spec_.device;
  row.in_unit = s.state == SlotState::kBooted || s.state == SlotState::kServing ||
                s.state == SlotState::kWriting;
  row.percent = s.percent;
  row.covered = s.covered;
  row.size = s.image_size;
  row.bytes_per_second = meter_.bytes_per_second();
  row.eta_seconds = meter_.EtaSeconds(s.covered, s.image_size);
  row.passed = s.passed;
  row.failed = s.failed;
  row.aborted = s.aborted;
  if (row.in_unit || !s.last_result) {
    row.phase = SlotStateName(s.state);
    // Missing or gone is the usual case; anything else says why.
    if (s.state == SlotState::kWaitingForDevice && s.problem_error != 0 &&
        s.problem_error != ENOENT && s.problem_error != ENODEV)
      row.phase += std::string(": ") + std::strerror(s.problem_error);
    return row;
  }
  const UnitResult& r = *s.last_result;
  char text[64];
  std::snprintf(text, sizeof text, "%s in %.1f s",
                r.outcome == UnitOutcome::kPass   ? "PASS"
                : r.outcome == UnitOutcome::kFail ? "FAIL"
                                                  : "ABORTED",
                r.duration_s);
  row.phase = text;
  if (!r.reason.empty()) row.phase += ": " + r.reason;
  if (s.state == SlotState::kWaitingForDevice) row.phase += "; waiting for device";
  return row;
}

void Slot::OnBootUp(const BootUpEvent& event) {
  if (verbose_) Say(std::string("boot-up, acknowledgement: ") + WriteStatusName(event.ack));
}

void Slot::OnDataServed(const DataServedEvent& event) {
  if (!verbose_) return;
  char text[128];
  std::snprintf(text, sizeof text, "served %u bytes at %u (%s)", event.length, event.offset,
                WriteStatusName(event.write));
  Say(text);
}

void Slot::OnNoImage(const NoImageEvent&) {
  Say("asked for data, but no file is loaded");
}

void Slot::OnTimeServed(const TimeServedEvent& event) {
  if (verbose_) Say("time request answered with " + FormatDateTimeCode(event.code));
}

}  // namespace ternis::serve
