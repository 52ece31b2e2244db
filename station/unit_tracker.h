#pragma once
// The accounting of units, fed with what the engine did and when. A unit
// starts at a boot-up, or at the first data request when no boot-up was
// seen (the box was already running). It passes when the box asks for the
// time after every byte of the image was served in it; it fails when the
// device is lost, the box stops asking for `unit_timeout`, a reply cannot
// be written, or the box asks for the time with bytes missing; it is
// aborted when the program stops. Each call returns the result of the unit
// it ended, if any.
//
// Plain state, no clock and no threads of its own: the session serialises
// the calls and passes the time in.

#include <chrono>
#include <optional>

#include "protocol/engine_events.h"
#include "station/byte_ranges.h"
#include "station/unit_result.h"

namespace ternis {

class UnitTracker {
 public:
  // 0 for no time limit.
  explicit UnitTracker(std::chrono::milliseconds unit_timeout = std::chrono::seconds(30))
      : unit_timeout_(unit_timeout) {}

  // The image units will be served from (its ImageSnapshot id and size);
  // a unit measures its coverage against it until a request says otherwise.
  void SetImage(std::uint64_t id, std::uint64_t size);
  void ClearImage();

  std::optional<UnitResult> OnBootUp(const BootUpEvent& event, Instant now);
  std::optional<UnitResult> OnDataServed(const DataServedEvent& event, Instant now);
  std::optional<UnitResult> OnNoImage(Instant now);
  std::optional<UnitResult> OnTimeServed(const TimeServedEvent& event, Instant now);
  std::optional<UnitResult> OnDeviceLost(Instant now);
  // Fails the unit whose box has been silent too long.
  std::optional<UnitResult> CheckTimeout(Instant now);
  std::optional<UnitResult> Abort(Instant now);

  // When CheckTimeout next has something to do; nullopt when never.
  std::optional<SteadyTime> Deadline() const;

  UnitPhase phase() const { return phase_; }
  bool in_unit() const { return phase_ != UnitPhase::kIdle; }
  std::uint64_t unit_number() const { return unit_number_; }
  std::uint64_t image_size() const { return image_size_; }
  std::uint64_t covered() const { return covered_.covered(); }
  std::uint64_t bytes_served() const { return bytes_served_; }
  std::uint64_t requests() const { return requests_; }
  // 0 until the first data request shows which image the unit reads.
  int percent() const { return image_known_ ? CoveredPercent(covered(), image_size_) : 0; }
  SteadyTime unit_started() const { return started_.steady; }
  std::chrono::milliseconds unit_timeout() const { return unit_timeout_; }

 private:
  void StartUnit(Instant now);
  UnitResult EndUnit(UnitOutcome outcome, std::string reason, Instant now);
  std::optional<UnitResult> Fail(std::string reason, Instant now) {
    return EndUnit(UnitOutcome::kFail, std::move(reason), now);
  }
  std::optional<UnitResult> FailOnWrite(WriteStatus status, Instant now);
  void UpdatePhase();
  void UseExpectedImage();

  std::chrono::milliseconds unit_timeout_;
  UnitPhase phase_ = UnitPhase::kIdle;
  std::uint64_t unit_number_ = 0;
  Instant started_{};
  SteadyTime last_activity_{};
  bool expected_known_ = false;
  std::uint64_t expected_id_ = 0;
  std::uint64_t expected_size_ = 0;
  bool image_known_ = false;
  std::uint64_t image_id_ = 0;
  std::uint64_t image_size_ = 0;
  ByteRanges covered_;
  std::uint64_t bytes_served_ = 0;
  std::uint64_t requests_ = 0;
  std::uint64_t no_image_requests_ = 0;
};

}  // namespace ternis
