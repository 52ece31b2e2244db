#include "station/unit_tracker.h"

#include <algorithm>
#include <cstdio>

namespace ternis {

namespace {

std::string Seconds(std::chrono::milliseconds ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms.count()) / 1000.0);
  return text;
}

}  // namespace

const char* OutcomeName(UnitOutcome outcome) {
  switch (outcome) {
    case UnitOutcome::kPass:
      return "pass";
    case UnitOutcome::kFail:
      return "fail";
    case UnitOutcome::kAborted:
      return "aborted";
  }
  return "";
}

const char* PhaseName(UnitPhase phase) {
  switch (phase) {
    case UnitPhase::kIdle:
      return "";
    case UnitPhase::kBooted:
      return "booted";
    case UnitPhase::kServing:
      return "serving";
    case UnitPhase::kWriting:
      return "writing";
  }
  return "";
}

int CoveredPercent(std::uint64_t covered, std::uint64_t size) {
  if (size == 0) return 100;
  return static_cast<int>(std::min<std::uint64_t>(covered, size) * 100 / size);
}

std::string DescribeResult(const UnitResult& r) {
  char text[256];
  if (r.outcome == UnitOutcome::kPass) {
    std::snprintf(text, sizeof text, "unit %llu PASS in %.1f s, %llu bytes, %llu requests",
                  static_cast<unsigned long long>(r.number), r.duration_s,
                  static_cast<unsigned long long>(r.bytes_served),
                  static_cast<unsigned long long>(r.requests));
  } else {
    std::snprintf(text, sizeof text, "unit %llu %s after %.1f s: %s (%llu bytes missing)",
                  static_cast<unsigned long long>(r.number),
                  r.outcome == UnitOutcome::kFail ? "FAIL" : "ABORTED", r.duration_s,
                  r.reason.c_str(), static_cast<unsigned long long>(r.missing_bytes));
  }
  return text;
}

void UnitTracker::SetImage(std::uint64_t id, std::uint64_t size) {
  expected_known_ = true;
  expected_id_ = id;
  expected_size_ = size;
  if (in_unit() && requests_ == 0) UseExpectedImage();
}

void UnitTracker::ClearImage() {
  expected_known_ = false;
  expected_id_ = 0;
  expected_size_ = 0;
  if (in_unit() && requests_ == 0) UseExpectedImage();
}

void UnitTracker::UseExpectedImage() {
  image_known_ = expected_known_;
  image_id_ = expected_id_;
  image_size_ = expected_size_;
}

std::optional<UnitResult> UnitTracker::OnBootUp(const BootUpEvent& event, Instant now) {
  // An unanswered boot-up is sent again by the box; only an answered one counts.
  if (event.ack != WriteStatus::kOk) return std::nullopt;
  if (phase_ == UnitPhase::kBooted && requests_ == 0) {
    last_activity_ = now.steady;  // the same boot, announced again
    return std::nullopt;
  }
  std::optional<UnitResult> ended;
  if (in_unit()) ended = Fail("box booted again at " + std::to_string(percent()) + " %", now);
  StartUnit(now);
  return ended;
}

std::optional<UnitResult> UnitTracker::OnDataServed(const DataServedEvent& event, Instant now) {
  if (event.write == WriteStatus::kCancelled) return std::nullopt;  // closing: Abort follows
  if (!in_unit()) StartUnit(now);
  if (!image_known_ || event.image_id != image_id_) {
    // A new image mid-unit: what was served of the old one proves nothing.
    covered_.Clear();
    image_known_ = true;
    image_id_ = event.image_id;
    image_size_ = event.image_size;
  }
  ++requests_;
  bytes_served_ += event.written;
  last_activity_ = now.steady;
  const std::uint64_t begin = std::min<std::uint64_t>(event.offset, image_size_);
  const std::uint64_t end = std::min<std::uint64_t>(event.offset + event.written, image_size_);
  covered_.Add(begin, end);
  if (event.write != WriteStatus::kOk) return FailOnWrite(event.write, now);
  UpdatePhase();
  return std::nullopt;
}

std::optional<UnitResult> UnitTracker::OnNoImage(Instant now) {
  if (!in_unit()) StartUnit(now);
  ++requests_;
  ++no_image_requests_;
  last_activity_ = now.steady;
  UpdatePhase();
  return std::nullopt;
}

std::optional<UnitResult> UnitTracker::OnTimeServed(const TimeServedEvent& event, Instant now) {
  if (event.write == WriteStatus::kCancelled || !in_unit()) return std::nullopt;
  last_activity_ = now.steady;
  // Asked for the time before any data: still starting, unless there is nothing to read.
  if (requests_ == 0 && !(image_known_ && image_size_ == 0)) return std::nullopt;
  if (event.write != WriteStatus::kOk) return FailOnWrite(event.write, now);
  if (!image_known_) return Fail("no file was loaded", now);
  if (!covered_.Covers(image_size_)) {
    return Fail("box finished without " + std::to_string(image_size_ - covered()) + " bytes", now);
  }
  return EndUnit(UnitOutcome::kPass, "", now);
}

std::optional<UnitResult> UnitTracker::OnDeviceLost(Instant now) {
  if (!in_unit()) return std::nullopt;  // a passed unit stays passed
  return Fail("device lost at " + std::to_string(percent()) + " %", now);
}

std::optional<UnitResult> UnitTracker::CheckTimeout(Instant now) {
  const auto deadline = Deadline();
  if (!deadline || now.steady < *deadline) return std::nullopt;
  return Fail("box stopped asking (" + Seconds(unit_timeout_) + ")", now);
}

std::optional<UnitResult> UnitTracker::Abort(Instant now) {
  if (!in_unit()) return std::nullopt;
  return EndUnit(UnitOutcome::kAborted, "interrupted", now);
}

std::optional<SteadyTime> UnitTracker::Deadline() const {
  if (!in_unit() || unit_timeout_.count() <= 0) return std::nullopt;
  return last_activity_ + unit_timeout_;
}

std::optional<UnitResult> UnitTracker::FailOnWrite(WriteStatus status, Instant now) {
  return Fail(status == WriteStatus::kTimedOut ? "write timed out" : "write failed", now);
}

void UnitTracker::StartUnit(Instant now) {
  phase_ = UnitPhase::kBooted;
  ++unit_number_;
  started_ = now;
  last_activity_ = now.steady;
  UseExpectedImage();
  covered_.Clear();
  bytes_served_ = 0;
  requests_ = 0;
  no_image_requests_ = 0;
}

void UnitTracker::UpdatePhase() {
  if (requests_ == 0) return;
  phase_ = image_known_ && covered_.Covers(image_size_) ? UnitPhase::kWriting : UnitPhase::kServing;
}

UnitResult UnitTracker::EndUnit(UnitOutcome outcome, std::string reason, Instant now) {
  UnitResult result;
  result.number = unit_number_;
  result.outcome = outcome;
  result.reason = std::move(reason);
  result.started = started_.wall;
  result.ended = now.wall;
  result.duration_s =
      std::max(0.0, std::chrono::duration<double>(now.steady - started_.steady).count());
  result.image_id = image_id_;
  result.image_size = image_size_;
  result.bytes_served = bytes_served_;
  result.covered_bytes = covered();
  result.requests = requests_;
  if (outcome != UnitOutcome::kPass) {
    result.missing = covered_.Missing(image_size_);
    result.missing_bytes = image_size_ - std::min(covered(), image_size_);
  }
  phase_ = UnitPhase::kIdle;
  return result;
}

}  // namespace ternis
