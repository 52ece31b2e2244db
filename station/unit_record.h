#pragma once
// One unit's record: which slot and device, which image (path, size,
// SHA-256), pass or fail and why, when, and how much was served. The same
// object is a line of the record file and the server's "unit" event.

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "station/unit_result.h"

namespace ternis {

// The image a unit was served from.
struct ImageIdentity {
  std::string path;  // "key_pool" for a key from a pool
  std::uint64_t size = 0;
  std::string sha256;
  std::string key_name = {};  // the key's file name, from a pool
};

struct UnitRecord {
  std::string slot;
  std::string device;
  ImageIdentity image;
  UnitResult result;
  std::string host;
  std::string tool_version;
  std::string station = {};  // --station-name; the host name unless told
};

nlohmann::json ToJson(const UnitRecord& record);

// Local time with milliseconds and the UTC offset, as in
// "2026-12-07T09:14:03.120+01:00".
std::string IsoLocalTime(WallTime time);

// This machine's name, for records.
std::string HostName();

}  // namespace ternis
