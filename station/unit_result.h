#pragma once
// A unit is one box's run from its boot-up to its result; these are the
// words and figures both front ends show and the records keep.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "station/byte_ranges.h"

namespace ternis {

using SteadyTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// One reading of both clocks: the steady one measures, the wall one is shown.
struct Instant {
  SteadyTime steady{};
  WallTime wall{};
};

enum class UnitOutcome : std::uint8_t { kPass, kFail, kAborted };

// How many units ended each way.
struct UnitTally {
  std::uint64_t passed = 0;
  std::uint64_t failed = 0;
  std::uint64_t aborted = 0;

  void Count(UnitOutcome outcome) {
    switch (outcome) {
      case UnitOutcome::kPass:
        ++passed;
        break;
      case UnitOutcome::kFail:
        ++failed;
        break;
      case UnitOutcome::kAborted:
        ++aborted;
        break;
    }
  }
};

// Where a unit stands; kIdle when none is in progress.
enum class UnitPhase : std::uint8_t {
  kIdle,
  kBooted,   // boot-up seen, nothing asked yet
  kServing,  // asking for data
  kWriting,  // every byte served, the box has yet to ask for the time
};

struct UnitResult {
  std::uint64_t number = 0;  // counts from 1 per session
  UnitOutcome outcome = UnitOutcome::kPass;
  std::string reason;  // empty for a pass
  WallTime started{};
  WallTime ended{};
  double duration_s = 0;
  std::uint64_t image_id = 0;  // the ImageSnapshot it was counted against
  std::uint64_t image_size = 0;
  std::uint64_t bytes_served = 0;  // every byte sent, zeros past the end and repeats included
  std::uint64_t covered_bytes = 0;
  std::uint64_t requests = 0;
  // A data request was let through to the image: its bytes may still be on
  // their way when the unit ends (a timeout racing the box's request).
  bool data_let_through = false;
  std::uint64_t missing_bytes = 0;
  std::vector<ByteRange> missing;  // the gaps, for a unit that did not pass
  std::uint64_t sequence = 0;      // its session's order among notices and results
};

// "pass", "fail", "aborted".
const char* OutcomeName(UnitOutcome outcome);
// "booted", "serving", "writing" ("" for kIdle).
const char* PhaseName(UnitPhase phase);

// Whole percent of `covered` in `size`; an empty image is complete.
int CoveredPercent(std::uint64_t covered, std::uint64_t size);

// One line for logs: "unit 3 PASS in 12.4 s, 409600 bytes, 100 requests",
// or "unit 3 FAIL after 2.0 s: device lost at 37 % (258048 bytes missing)".
std::string DescribeResult(const UnitResult& result);

}  // namespace ternis
