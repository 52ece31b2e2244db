#pragma once
// Rate and time left of one slot's unit, from its covered bytes sampled by
// the main loop. Smoothed, but a stall shows at once.

#include <chrono>
#include <cstdint>
#include <optional>

namespace ternis {

class SlotMeter {
 public:
  using Clock = std::chrono::steady_clock;

  // `unit` tells units apart: a new one starts the measurement again.
  void Sample(std::uint64_t unit, std::uint64_t covered, Clock::time_point now);

  double bytes_per_second() const { return rate_; }
  // Seconds until `size` is covered at the current rate; nothing while unknown.
  std::optional<double> EtaSeconds(std::uint64_t covered, std::uint64_t size) const;

 private:
  std::uint64_t unit_ = 0;
  std::uint64_t covered_ = 0;
  Clock::time_point at_{};
  double rate_ = 0;
};

}  // namespace ternis
