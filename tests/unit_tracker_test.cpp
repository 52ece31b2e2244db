#include "station/unit_tracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

namespace ternis {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t kImage = 1000;
constexpr std::uint64_t kImageId = 7;

class UnitTrackerTest : public testing::Test {
 public:  // the table of failures reaches in
  void SetUp() override { tracker.SetImage(kImageId, kImage); }

  // Moves the clocks on, as the box takes its time.
  Instant After(std::chrono::milliseconds step) {
    now.steady += step;
    now.wall += step;
    return now;
  }
  DataServedEvent Data(std::uint32_t offset, std::uint16_t length,
                       WriteStatus status = WriteStatus::kOk) {
    return {.offset = offset,
            .length = length,
            .written = status == WriteStatus::kOk ? length : length / 2u,  // cut short: half
            .image_size = kImage,
            .image_id = kImageId,
            .write = status};
  }
  std::optional<UnitResult> Boot() { return tracker.OnBootUp({WriteStatus::kOk}, After(10ms)); }
  std::optional<UnitResult> Serve(std::uint32_t offset, std::uint16_t length) {
    return tracker.OnDataServed(Data(offset, length), After(10ms));
  }
  std::optional<UnitResult> AskTime(WriteStatus status = WriteStatus::kOk) {
    return tracker.OnTimeServed({{}, status}, After(10ms));
  }
  // The request after the first 370 bytes, its reply cut short by `status`.
  std::optional<UnitResult> ServeCut(WriteStatus status) {
    return tracker.OnDataServed(Data(370, 100, status), After(1ms));
  }
  void ServeAll(std::uint16_t chunk = 100) {
    for (std::uint32_t at = 0; at < kImage; at += chunk) ASSERT_FALSE(Serve(at, chunk));
  }

  UnitTracker tracker{30s};
  Instant now{SteadyTime{} + 1h, WallTime{} + 1h};
};

TEST_F(UnitTrackerTest, PassesWhenTheTimeIsAskedAfterEveryByteWasServed) {
  const Instant start = now;
  ASSERT_FALSE(Boot());
  EXPECT_EQ(tracker.phase(), UnitPhase::kBooted);
  ASSERT_FALSE(AskTime());  // a box may ask the time before any data: still starting
  std::vector<std::uint32_t> offsets;
  for (std::uint32_t at = 0; at < kImage; at += 100) offsets.push_back(at);
  std::shuffle(offsets.begin(), offsets.end(), std::mt19937(3));
  for (std::uint32_t at : offsets) {
    ASSERT_FALSE(Serve(at, 100));
    EXPECT_EQ(tracker.phase(), at == offsets.back() ? UnitPhase::kWriting : UnitPhase::kServing);
  }
  ASSERT_FALSE(Serve(1000, 64));  // past the end: counted as served, not as covered
  EXPECT_EQ(tracker.percent(), 100);

  const auto result = AskTime();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->outcome, UnitOutcome::kPass);
  EXPECT_EQ(result->reason, "");
  EXPECT_EQ(result->number, 1u);
  EXPECT_EQ(result->requests, 11u);
  EXPECT_EQ(result->bytes_served, kImage + 64);
  EXPECT_EQ(result->covered_bytes, kImage);
  EXPECT_EQ(result->missing_bytes, 0u);
  EXPECT_EQ(result->started, start.wall + 10ms);
  EXPECT_EQ(result->ended, now.wall);
  EXPECT_DOUBLE_EQ(result->duration_s, 0.130);
  EXPECT_EQ(tracker.phase(), UnitPhase::kIdle);
  EXPECT_EQ(DescribeResult(*result), "unit 1 PASS in 0.1 s, 1064 bytes, 11 requests");
}

TEST_F(UnitTrackerTest, EachWayOfFailingSaysWhyAndWhatIsMissing) {
  struct Case {
    const char* reason;
    std::uint64_t covered;  // a write cut short counts what reached the line (half here)
    std::function<std::optional<UnitResult>(UnitTrackerTest&)> end_it;
  };
  const Case cases[] = {
      {"box finished without 630 bytes", 370, [](UnitTrackerTest& t) { return t.AskTime(); }},
      {"write timed out", 420,
       [](UnitTrackerTest& t) { return t.ServeCut(WriteStatus::kTimedOut); }},
      {"write failed", 420, [](UnitTrackerTest& t) { return t.ServeCut(WriteStatus::kFailed); }},
      {"write failed", 370, [](UnitTrackerTest& t) { return t.AskTime(WriteStatus::kFailed); }},
      {"box booted again at 37 %", 370, [](UnitTrackerTest& t) { return t.Boot(); }},
      // What was served of another image proves nothing for this one.
      {"box finished without 900 bytes", 100,
       [](UnitTrackerTest& t) {
         DataServedEvent other = t.Data(0, 100);
         other.image_id = kImageId + 1;
         t.tracker.OnDataServed(other, t.After(1ms));
         return t.AskTime();
       }},
  };
  for (const Case& c : cases) {
    tracker = UnitTracker{30s};
    tracker.SetImage(kImageId, kImage);
    ASSERT_FALSE(Boot());
    ASSERT_FALSE(Serve(0, 370));
    const auto result = c.end_it(*this);
    ASSERT_TRUE(result) << c.reason;
    EXPECT_EQ(result->outcome, UnitOutcome::kFail);
    EXPECT_EQ(result->reason, c.reason);
    EXPECT_EQ(result->covered_bytes, c.covered) << c.reason;
    EXPECT_EQ(result->missing_bytes, kImage - c.covered) << c.reason;
    EXPECT_EQ(result->missing, (std::vector<ByteRange>{{c.covered, kImage}})) << c.reason;
  }
}

TEST_F(UnitTrackerTest, TheTimeLimitRunsFromTheLastRequestAndZeroMeansNever) {
  EXPECT_FALSE(tracker.Deadline());  // no unit, nothing to wait for
  Boot();
  Serve(0, 100);
  EXPECT_EQ(tracker.Deadline(), now.steady + 30s);
  EXPECT_FALSE(tracker.CheckTimeout(After(29s)));
  Serve(100, 100);  // activity moves the deadline
  EXPECT_FALSE(tracker.CheckTimeout(After(29s)));
  ServeAll();  // writing: the box still has to ask for the time in time
  EXPECT_TRUE(tracker.CheckTimeout(After(30s)));
  EXPECT_FALSE(tracker.Deadline());

  UnitTracker patient{0ms};
  patient.SetImage(kImageId, kImage);
  patient.OnBootUp({WriteStatus::kOk}, now);
  EXPECT_FALSE(patient.Deadline());
  EXPECT_FALSE(patient.CheckTimeout(After(24h)));
}

// A box already running starts a unit with its first request, a boot-up
// starts the next; a passed unit stays passed.
TEST_F(UnitTrackerTest, RequestsOrBootUpsStartUnitsAndAPassedUnitStaysPassed) {
  ASSERT_FALSE(Serve(0, 500));
  EXPECT_EQ(tracker.unit_number(), 1u);
  EXPECT_EQ(tracker.phase(), UnitPhase::kServing);
  ASSERT_FALSE(Serve(500, 500));
  const auto first = AskTime();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->outcome, UnitOutcome::kPass);
  EXPECT_FALSE(tracker.OnDeviceLost(now)) << "unplugging a passed box changes nothing";
  EXPECT_FALSE(AskTime()) << "nor does asking the time again";

  ASSERT_FALSE(Boot());  // the next box
  ASSERT_FALSE(Boot());  // announced again before it was answered: the same unit
  EXPECT_EQ(tracker.unit_number(), 2u);
  EXPECT_EQ(tracker.percent(), 0);
  EXPECT_FALSE(tracker.OnBootUp({WriteStatus::kFailed}, now)) << "an unanswered boot-up";
  EXPECT_EQ(tracker.unit_number(), 2u);
  ServeAll();
  const auto second = AskTime();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->number, 2u);
  EXPECT_EQ(second->outcome, UnitOutcome::kPass);
}

// Nothing to read: the box asks for the time at once, and that is a pass.
// Without any file it cannot pass.
TEST_F(UnitTrackerTest, AnEmptyImagePassesWhenTheTimeIsAskedAndNoImageCannot) {
  tracker.SetImage(kImageId, 0);
  for (std::uint64_t unit = 1; unit <= 2; ++unit) {
    ASSERT_FALSE(Boot());
    const auto result = AskTime();
    ASSERT_TRUE(result) << "unit " << unit;
    EXPECT_EQ(result->number, unit);
    EXPECT_EQ(result->outcome, UnitOutcome::kPass);
    EXPECT_FALSE(tracker.OnDeviceLost(now)) << "a passed unit stays passed";
  }
  tracker.ClearImage();
  Boot();
  tracker.OnNoImage(After(1ms));
  EXPECT_EQ(AskTime()->reason, "no file was loaded");
}

TEST_F(UnitTrackerTest, StoppingAbortsOnlyAUnitInProgressAndClosingIsNoFailure) {
  EXPECT_FALSE(tracker.Abort(now));
  Boot();
  Serve(0, 100);
  EXPECT_FALSE(tracker.OnDataServed(Data(100, 100, WriteStatus::kCancelled), After(1ms)));
  const auto result = tracker.Abort(After(1ms));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->outcome, UnitOutcome::kAborted);
  EXPECT_EQ(result->reason, "interrupted");
  EXPECT_EQ(DescribeResult(*result), "unit 1 ABORTED after 0.0 s: interrupted (900 bytes missing)");
}

}  // namespace
}  // namespace ternis
