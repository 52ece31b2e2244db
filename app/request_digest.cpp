#include "app/request_digest.h"

#include <algorithm>
#include <utility>

namespace ternis {

namespace {
// The window's texts for a data request, word for word.
constexpr std::string_view kArrived = "Data request has been arrived from STB(STB_DATA_REQ).";
constexpr std::string_view kServed = "TX_KEY : ";
}  // namespace

std::string RequestDigest::Take(std::string_view line, int percent) {
  if (every_) return std::string(line);
  if (line == kArrived) {
    ++since_logged_;
    return {};
  }
  if (!line.starts_with(kServed)) return std::string(line);
  const int tenth = std::clamp(percent, 0, 100) / 10;
  if (tenth <= logged_tenth_) return {};
  logged_tenth_ = tenth;
  const std::uint64_t requests = std::exchange(since_logged_, 0);
  return std::string(line) + " (" + std::to_string(percent) + " %, " + std::to_string(requests) +
         (requests == 1 ? " request" : " requests") + " since the last line)";
}

}  // namespace ternis
