#include "station/station_setup.h"

#include <cstdlib>

#include "station/key_file_check.h"

namespace ternis {

namespace {

// Next to the state the service keeps (StateDirectory=), else the user's.
std::string SpoolPath(const StationChoice& choice) {
  if (!choice.db_spool.empty()) return choice.db_spool;
  const std::string file = "/db-spool-" + StationNameOf(choice) + ".jsonl";
  if (const char* state = std::getenv("STATE_DIRECTORY"); state && *state) return state + file;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg)
    return std::string(xdg) + "/ternis" + file;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : ".") + "/.local/state/ternis" + file;
}

}  // namespace

StationSettings SettingsFor(const StationChoice& choice) {
  StationSettings settings;
  settings.line = choice.line;
  settings.session.unit_timeout = choice.unit_timeout;
  settings.tool_version = choice.tool_version;
  settings.secret = choice.key;
  settings.station_name = choice.station_name;  // in the records only when given
  return settings;
}

std::string StationNameOf(const StationChoice& choice) {
  return choice.station_name.empty() ? HostName() : choice.station_name;
}

std::unique_ptr<StationDatabase> OpenStationDatabase(const StationChoice& choice,
                                                     const std::string& uri, std::string& error) {
  auto db = std::make_unique<StationDatabase>(StationNameOf(choice), SpoolPath(choice));
  if (!db->Open(uri, error)) return nullptr;
  return db;
}

bool ServeFile(Station& station, const StationChoice& choice, const Warn& warn,
               std::string& error) {
  if (choice.key) {
    for (const std::string& warning : KeyFileWarnings(choice.file)) warn(warning);
  }
  return station.LoadImage(choice.file, error);
}

// Keys are loaded one by one as units start; the folders holding them are checked here.
bool ServeKeyPool(Station& station, const StationChoice& choice, const Warn& warn,
                  std::string& error) {
  if (IsDatabaseUri(choice.key_pool)) {
    auto db = OpenStationDatabase(choice, choice.key_pool, error);
    if (!db) {
      error = "key pool " + choice.key_pool + ": " + error;
      return false;
    }
    station.UseKeyDatabase(std::move(db), choice.pool_low);
    return true;
  }
  if (!station.UseKeyPool(choice.key_pool, choice.pool_low, error)) return false;
  for (const char* folder : {"/ready", "/issued", "/used", "/spoiled"}) {
    for (const std::string& warning : KeyFolderWarnings(choice.key_pool + folder)) warn(warning);
  }
  return true;
}

RecordOpen RecordTo(Station& station, const StationChoice& choice, std::string& error) {
  if (!IsDatabaseUri(choice.record)) {
    if (choice.record.empty() || station.OpenRecords(choice.record, error)) return RecordOpen::kOk;
    return RecordOpen::kFileFailed;
  }
  if (IsDatabaseUri(choice.key_pool)) {
    if (choice.record == choice.key_pool) return RecordOpen::kOk;  // the pool's records go there
    error =
        "the records of a database pool go to its database, with each key's state: give "
        "--record the pool's URI, or a file";
    return RecordOpen::kRefused;
  }
  auto db = OpenStationDatabase(choice, choice.record, error);
  if (!db) {
    error = "records " + choice.record + ": " + error;
    return RecordOpen::kRefused;
  }
  station.RecordToDatabase(std::move(db));
  return RecordOpen::kOk;
}

}  // namespace ternis
