#pragma once
// A station's side of the key pool and record store in PostgreSQL, shared
// by many stations: taking keys and writing the ends of units. The schema
// and the pool by hand are DatabaseAdmin's.
//
// Taking a key is one statement that marks the first ready key issued to
// this station and slot (FOR UPDATE SKIP LOCKED: stations never wait on
// each other, never share a key), committed before its bytes are returned.
// A unit's end writes its record and its key's new state in one statement.
// When the database cannot be reached, those ends go to a spool file
// (fsynced, 0600) and are written, in order, when it answers again; each
// record has its own id, and an id already there is left alone, so a
// spooled end written twice counts once. No key is taken while the spool
// holds anything. Key bytes are read as bytea, copied into secret memory
// and wiped from libpq's buffer at once; they are never logged.
//
// Thread-safe: one connection under a mutex.

#include <libpq-fe.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "protocol/unique_fd.h"
#include "station/key_source.h"
#include "station/unit_record.h"

namespace ternis {

// "postgresql://..." or "postgres://...": a database, not a folder or file.
bool IsDatabaseUri(const std::string& text);

class StationDatabase : public KeySource {
 public:
  // `station`: the name written with every record and key state; `spool`:
  // where ends wait while the database is away.
  StationDatabase(std::string station, std::string spool);
  ~StationDatabase() override;
  StationDatabase(const StationDatabase&) = delete;
  StationDatabase& operator=(const StationDatabase&) = delete;

  // Connects, checks the schema, claims the station's own name (two
  // stations of one name would spoil each other's keys) and opens its
  // spool. False with the reason.
  bool Open(const std::string& uri, std::string& error);

  std::vector<KeyMove> Recover() override;
  std::optional<IssuedKey> Take(const std::string& slot, std::vector<KeyMove>& moved,
                                std::string& error) override;
  bool Finish(const std::string& name, KeyFate fate, std::string& error) override;
  KeyPoolCounts Counts() const override;
  std::string ReadyPlace() const override { return "the database"; }

  enum class Written { kInDatabase, kSpooled, kLost };
  // A unit's record, and its key's fate (`key` empty: none), together.
  Written EndUnit(const UnitRecord& record, const std::string& key, KeyFate fate,
                  std::string& error);

  // Writes the spool when the database is back; keeps the station heard
  // of. What the front end should say.
  std::vector<std::string> Upkeep(std::chrono::steady_clock::time_point now);
  std::optional<std::chrono::steady_clock::time_point> NextUpkeep() const;
  bool reachable() const;
  const std::string& spool_path() const { return spool_path_; }

 private:
  // Under mutex_.
  bool Connected();
  bool Apply(const nlohmann::json& end, std::string& error);
  bool Spool(const nlohmann::json& end, std::string& error);
  bool FlushSpool(std::string& error);
  bool ClaimName(std::string& error);
  void Lost(const std::string& error);
  // Open got as far as its spool: the name is claimed, the station serves.
  bool opened() const { return spool_.valid(); }
  Written Write(const nlohmann::json& end, std::string& error);

  const std::string station_;
  const std::string spool_path_;
  mutable std::mutex mutex_;
  PGconn* conn_ = nullptr;
  UniqueFd spool_;
  bool spool_pending_ = false;
  bool down_ = false;
  std::string down_reason_;
  std::vector<std::string> news_;
  mutable KeyPoolCounts counts_;
  std::chrono::steady_clock::time_point last_heard_{};
  std::chrono::steady_clock::time_point next_try_{};
};

}  // namespace ternis
