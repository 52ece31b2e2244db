// Drives the unit accounting with arbitrary sequences of boot-ups, data
// requests (in any order, past the end, cut short by write failures), time
// requests, lost devices, time-outs, aborts and image changes, and checks it
// against a byte-by-byte model: covered bytes never exceed the image and
// match the model, a unit passes only with every byte covered, the missing
// ranges add up, and units are numbered one after another.

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "station/unit_tracker.h"

namespace {

using namespace ternis;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool more() const { return at_ < size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

WriteStatus StatusFrom(std::uint8_t b) {
  switch (b & 0x0F) {
    case 0:
      return WriteStatus::kFailed;
    case 1:
      return WriteStatus::kTimedOut;
    case 2:
      return WriteStatus::kCancelled;
    default:
      return WriteStatus::kOk;
  }
}

// The bytes of the unit's image that the tracker was told were served.
struct Model {
  std::uint64_t image_id = 1;  // the loaded image
  std::uint64_t image_size = 0;
  std::uint64_t unit_image = 0;  // the image the unit in progress is counted against
  std::vector<bool> covered;

  std::uint64_t Count() const {
    std::uint64_t n = 0;
    for (bool b : covered) n += b;
    return n;
  }
  void StartCounting(std::uint64_t id, std::uint64_t size) {
    unit_image = id;
    covered.assign(size, false);
  }
  void Mark(std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t i = begin; i < end && i < covered.size(); ++i) covered[i] = true;
  }
};

void CheckResult(const UnitResult& result, const Model& model, std::uint64_t number) {
  Check(result.number == number);
  Check(result.covered_bytes == model.Count() && result.image_size == model.covered.size());
  if (result.outcome == UnitOutcome::kPass) {
    Check(result.covered_bytes == result.image_size && result.reason.empty());
    return;
  }
  std::uint64_t gaps = 0;
  for (const ByteRange& r : result.missing) {
    Check(r.begin < r.end && r.end <= result.image_size);
    for (std::uint64_t i = r.begin; i < r.end; ++i) Check(!model.covered[i]);
    gaps += r.end - r.begin;
  }
  Check(gaps == result.missing_bytes);
  Check(result.missing_bytes + result.covered_bytes == result.image_size);
  Check(!result.reason.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  UnitTracker tracker(std::chrono::milliseconds(in.Byte() * 10));
  Model model;
  model.image_size = in.Word() % 4097;
  tracker.SetImage(model.image_id, model.image_size);
  Instant now{std::chrono::steady_clock::time_point{}, std::chrono::system_clock::time_point{}};

  while (in.more()) {
    const std::uint8_t op = in.Byte();
    now.steady += std::chrono::milliseconds(in.Byte() * 4);
    now.wall += std::chrono::milliseconds(1);
    const std::uint64_t unit_before = tracker.unit_number();
    std::optional<UnitResult> result;
    DataServedEvent data;
    switch (op % 8) {
      case 0:
        result = tracker.OnBootUp({StatusFrom(op >> 4)}, now);
        break;
      case 1:
      case 2:
        data.offset = in.Word() % 5000;
        data.length = static_cast<std::uint16_t>(in.Word() % 2000);
        data.write = StatusFrom(op >> 4);
        data.written = data.write == WriteStatus::kOk ? data.length : data.length / 2;
        data.image_id = model.image_id;
        data.image_size = model.image_size;
        result = tracker.OnDataServed(data, now);
        break;
      case 3:
        result = tracker.OnTimeServed({{}, StatusFrom(op >> 4)}, now);
        break;
      case 4:
        result = tracker.OnDeviceLost(now);
        break;
      case 5:
        result = (op & 0x10) ? tracker.OnNoImage(now) : tracker.CheckTimeout(now);
        break;
      case 6:
        result = tracker.Abort(now);
        break;
      case 7:
        ++model.image_id;
        model.image_size = in.Word() % 4097;
        tracker.SetImage(model.image_id, model.image_size);
        if (tracker.in_unit() && tracker.requests() == 0)
          model.StartCounting(model.image_id, model.image_size);
        break;
    }

    const bool started = tracker.unit_number() != unit_before;
    if (started) Check(tracker.unit_number() == unit_before + 1);
    const bool is_data = op % 8 == 1 || op % 8 == 2;
    if (is_data && data.write != WriteStatus::kCancelled) {
      if (started || model.unit_image != data.image_id)
        model.StartCounting(data.image_id, data.image_size);
      model.Mark(data.offset, data.offset + data.written);
    }
    // A boot-up that starts a unit ends the one before it; anything else
    // ends the unit it belongs to.
    if (result)
      CheckResult(*result, model, started && !is_data ? unit_before : tracker.unit_number());
    if (started && !is_data) model.StartCounting(model.image_id, model.image_size);

    Check(tracker.covered() <= tracker.image_size());
    if (tracker.in_unit()) {
      Check(tracker.covered() == model.Count());
      if (tracker.phase() == UnitPhase::kWriting) Check(tracker.covered() == tracker.image_size());
    }
  }
  return 0;
}
