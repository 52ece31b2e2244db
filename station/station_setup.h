#pragma once
// A station built from what a front end was given: the file or the key
// pool (a folder, or a PostgreSQL URI shared with other stations), where
// the records go (a file, or a PostgreSQL URI), the line and the name.
// ternis-serve's options and the station window's settings both become one
// of these, so both accept the same things and say the same about them.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "station/station.h"

namespace ternis {

struct StationChoice {
  std::string file;           // the image for every slot; unused with a key pool
  bool key = false;           // the file is a key: a secret
  std::string key_pool;       // a folder or a database URI; empty: the file
  std::size_t pool_low = 10;  // keys left when the pool is said to be low
  std::string record;         // a file or a database URI; empty: none
  std::string station_name;   // empty: the host name (and none in the records)
  std::string db_spool;       // empty: next to the state the service keeps
  LineSettings line;
  std::chrono::milliseconds unit_timeout{std::chrono::seconds(30)};
  std::string tool_version;
};

StationSettings SettingsFor(const StationChoice& choice);
// The name given, else the host name.
std::string StationNameOf(const StationChoice& choice);
std::unique_ptr<StationDatabase> OpenStationDatabase(const StationChoice& choice,
                                                     const std::string& uri, std::string& error);

using Warn = std::function<void(const std::string& warning)>;

// The file for every slot; a key file's ownership and mode are warned
// about first. False with the reason.
bool ServeFile(Station& station, const StationChoice& choice, const Warn& warn, std::string& error);
// Each unit a key of its own from the pool (keys left issued by this
// station are spoiled first); a folder others can enter is warned about.
bool ServeKeyPool(Station& station, const StationChoice& choice, const Warn& warn,
                  std::string& error);

enum class RecordOpen { kOk, kFileFailed, kRefused };
// The records to the choice's file or database. kFileFailed: `error` is why
// the file could not be opened; kRefused: `error` says the whole reason.
RecordOpen RecordTo(Station& station, const StationChoice& choice, std::string& error);

}  // namespace ternis
