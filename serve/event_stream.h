#pragma once
// --json: the server's events on stdout, one JSON object per line, each
// with "event" (and "time", but for "unit", which is a record plus
// "event"); nothing else goes to stdout. Main loop only.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "serve/serve_options.h"
#include "station/unit_record.h"

namespace ternis::serve {

struct SlotTotals {
  std::string slot;
  std::uint64_t passed = 0;
  std::uint64_t failed = 0;
  std::uint64_t aborted = 0;
};

class EventStream {
 public:
  // Null `out`: events are dropped.
  explicit EventStream(std::FILE* out) : out_(out) {}
  bool enabled() const { return out_ != nullptr; }

  void Start(const ImageIdentity& image, const std::vector<SlotSpec>& slots);
  void Slot(const SlotSpec& slot, const std::string& state, const std::string& reason);
  void Progress(const std::string& slot, std::uint64_t covered, std::uint64_t size, int percent,
                double bytes_per_second, std::optional<double> eta_seconds);
  void Unit(const UnitRecord& record);
  void Image(const std::string& what, const ImageIdentity& image);
  void KeyPool(const std::string& text);
  void Summary(const std::vector<SlotTotals>& slots, int exit_status);

 private:
  template <typename Json>
  void Emit(const char* event, Json&& fields);

  std::FILE* out_;
};

}  // namespace ternis::serve
