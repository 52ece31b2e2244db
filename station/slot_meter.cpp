#include "station/slot_meter.h"

namespace ternis {

void SlotMeter::Sample(std::uint64_t unit, std::uint64_t covered, Clock::time_point now) {
  if (unit != unit_ || covered < covered_ || at_ == Clock::time_point{}) {
    unit_ = unit;
    covered_ = covered;
    at_ = now;
    rate_ = 0;
    return;
  }
  const double seconds = std::chrono::duration<double>(now - at_).count();
  if (seconds < 0.25) return;
  const double rate = static_cast<double>(covered - covered_) / seconds;
  rate_ = rate == 0 ? 0 : (rate_ == 0 ? rate : 0.5 * rate_ + 0.5 * rate);
  covered_ = covered;
  at_ = now;
}

std::optional<double> SlotMeter::EtaSeconds(std::uint64_t covered, std::uint64_t size) const {
  if (rate_ <= 0 || covered > size) return std::nullopt;
  return static_cast<double>(size - covered) / rate_;
}

}  // namespace ternis
