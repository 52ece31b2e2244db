#pragma once
// The stations' database by hand: its schema, which this program creates
// and checks the version of, and the key pool's one-off work (import,
// status, return) that ternis-serve does from the command line. A station
// serving units uses StationDatabase.

#include <libpq-fe.h>

#include <optional>
#include <string>
#include <vector>

#include "station/key_source.h"

namespace ternis {

class DatabaseAdmin {
 public:
  static constexpr int kSchemaVersion = 1;

  DatabaseAdmin() = default;
  ~DatabaseAdmin();
  DatabaseAdmin(const DatabaseAdmin&) = delete;
  DatabaseAdmin& operator=(const DatabaseAdmin&) = delete;

  // Creates the schema, or says it is there already; refuses a newer one.
  static bool CreateSchema(const std::string& uri, std::string& said, std::string& error);
  // The schema is there, and not newer than this program knows.
  static bool CheckSchema(PGconn* conn, std::string& error);
  // How many keys are in each state; nullopt when the database does not answer.
  static std::optional<KeyPoolCounts> CountKeys(PGconn* conn);

  // Connects and checks the schema; false with the reason.
  bool Open(const std::string& uri, std::string& error);

  // Every file of `dir` as a ready key, in one transaction; a key whose
  // SHA-256 or name is already in the pool refuses the whole import.
  bool Import(const std::string& dir, std::size_t& count, std::string& error);
  bool ReturnSpoiled(const std::string& name, std::string& error);

  struct SilentKey {
    std::string name, station, slot;
    double silent_s = 0;
  };
  // Keys issued to stations not heard from for more than `seconds`.
  std::vector<SilentKey> SilentIssued(double seconds, std::string& error);
  KeyPoolCounts Counts() const { return CountKeys(conn_).value_or(KeyPoolCounts{}); }

 private:
  PGconn* conn_ = nullptr;
};

}  // namespace ternis
