#include "station/unit_record.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace ternis {

std::string IsoLocalTime(WallTime time) {
  using namespace std::chrono;
  const auto since_epoch = time.time_since_epoch();
  auto seconds = duration_cast<std::chrono::seconds>(since_epoch);
  auto millis = duration_cast<milliseconds>(since_epoch - seconds).count();
  if (millis < 0) {  // before 1970: keep the fraction positive
    millis += 1000;
    seconds -= std::chrono::seconds(1);
  }
  const std::time_t t = static_cast<std::time_t>(seconds.count());
  std::tm local{};
  localtime_r(&t, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  const int offset_minutes = static_cast<int>(local.tm_gmtoff / 60);
  const int magnitude = std::abs(offset_minutes) % (100 * 60);  // an offset is under 100 h
  char text[96];
  std::snprintf(text, sizeof text, "%s.%03d%c%02d:%02d", stamp, static_cast<int>(millis),
                offset_minutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return text;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

nlohmann::json ToJson(const UnitRecord& record) {
  const UnitResult& r = record.result;
  nlohmann::json json{
      {"slot", record.slot},
      {"device", record.device},
      {"unit", r.number},
      {"result", OutcomeName(r.outcome)},
      {"reason", r.reason},
      {"image", record.image.path},
      {"size", record.image.size},
      {"sha256", record.image.sha256},
      {"started", IsoLocalTime(r.started)},
      {"ended", IsoLocalTime(r.ended)},
      {"duration_s", std::round(r.duration_s * 1000.0) / 1000.0},
      {"bytes_served", r.bytes_served},
      {"requests", r.requests},
      {"missing_bytes", r.missing_bytes},
      {"host", record.host},
      {"tool_version", record.tool_version},
  };
  if (!record.station.empty()) json["station"] = record.station;
  if (!record.image.key_name.empty())
    json["key"] = {{"name", record.image.key_name}, {"sha256", record.image.sha256}};
  return json;
}

}  // namespace ternis
