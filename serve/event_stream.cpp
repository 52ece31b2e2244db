#include "serve/event_stream.h"

#include <chrono>
#include <cmath>
#include <string_view>
#include <nlohmann/json.hpp>

namespace ternis::serve {

namespace {

double Rounded(double value, double step) {
  return std::round(value / step) * step;
}

}  // namespace

template <typename Json>
void EventStream::Emit(const char* event, Json&& fields) {
  if (!out_) return;
  nlohmann::json line = std::forward<Json>(fields);
  line["event"] = event;
  // A unit's own times say when; it stays the record plus "event".
  if (std::string_view(event) != "unit") line["time"] = IsoLocalTime(std::chrono::system_clock::now());
  // A name that is not UTF-8 cannot be JSON: its bad bytes become U+FFFD.
  std::fputs((line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n").c_str(),
             out_);
  std::fflush(out_);
}

void EventStream::Start(const ImageIdentity& image, const std::vector<SlotSpec>& slots) {
  nlohmann::json list = nlohmann::json::array();
  for (const SlotSpec& slot : slots) list.push_back({{"slot", slot.name}, {"device", slot.device}});
  Emit("start", nlohmann::json{{"image", image.path},
                               {"size", image.size},
                               {"sha256", image.sha256},
                               {"slots", std::move(list)}});
}

void EventStream::Slot(const SlotSpec& slot, const std::string& state, const std::string& reason) {
  nlohmann::json fields{{"slot", slot.name}, {"device", slot.device}, {"state", state}};
  if (!reason.empty()) fields["reason"] = reason;
  Emit("slot", std::move(fields));
}

void EventStream::Progress(const std::string& slot, std::uint64_t covered, std::uint64_t size,
                           int percent, double bytes_per_second, std::optional<double> eta) {
  Emit("progress", nlohmann::json{{"slot", slot},
                                  {"covered", covered},
                                  {"size", size},
                                  {"percent", percent},
                                  {"bytes_per_second", Rounded(bytes_per_second, 1)},
                                  {"eta_s", eta ? nlohmann::json(Rounded(*eta, 0.1)) : nullptr}});
}

void EventStream::Unit(const UnitRecord& record) {
  Emit("unit", ToJson(record));
}

void EventStream::KeyPool(const std::string& text) {
  Emit("key_pool", nlohmann::json{{"text", text}});
}

void EventStream::Image(const std::string& what, const ImageIdentity& image) {
  Emit("image", nlohmann::json{{"what", what},
                               {"image", image.path},
                               {"size", image.size},
                               {"sha256", image.sha256}});
}

void EventStream::Summary(const std::vector<SlotTotals>& slots, int exit_status) {
  nlohmann::json list = nlohmann::json::array();
  for (const SlotTotals& s : slots) {
    list.push_back(
        {{"slot", s.slot}, {"passed", s.passed}, {"failed", s.failed}, {"aborted", s.aborted}});
  }
  Emit("summary", nlohmann::json{{"slots", std::move(list)}, {"exit_status", exit_status}});
}

}  // namespace ternis::serve
