#include "station/database_admin.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "protocol/image_file.h"
#include "station/image_digest.h"
#include "station/pg_query.h"

namespace ternis {

using pg::ErrorOf;
using pg::Exec;
using pg::Ok;
using pg::Result;

namespace {

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS ternis_schema (version integer NOT NULL)",
    "CREATE TABLE IF NOT EXISTS ternis_keys ("
    " id bigserial PRIMARY KEY,"
    " name text NOT NULL UNIQUE,"
    " sha256 text NOT NULL UNIQUE,"
    " bytes bytea NOT NULL,"
    " state text NOT NULL DEFAULT 'ready'"
    "  CHECK (state IN ('ready', 'issued', 'used', 'spoiled')),"
    " station text, slot text, reason text,"
    " changed timestamptz NOT NULL DEFAULT now())",
    "CREATE INDEX IF NOT EXISTS ternis_keys_ready ON ternis_keys (id) WHERE state = 'ready'",
    "CREATE INDEX IF NOT EXISTS ternis_keys_issued ON ternis_keys (station) WHERE state = 'issued'",
    "CREATE TABLE IF NOT EXISTS ternis_stations ("
    " name text PRIMARY KEY, heard timestamptz NOT NULL)",
    "CREATE TABLE IF NOT EXISTS ternis_records ("
    " id uuid PRIMARY KEY, station text NOT NULL,"
    " written timestamptz NOT NULL DEFAULT now(), record jsonb NOT NULL)",
};

// The schema's version, 0 when there is none; -1 with `error` on failure.
int SchemaVersion(PGconn* conn, std::string& error) {
  Result r = Exec(conn, "SELECT to_regclass('ternis_schema') IS NOT NULL");
  if (!Ok(r)) {
    error = ErrorOf(conn, r);
    return -1;
  }
  if (std::string(PQgetvalue(r.get(), 0, 0)) != "t") return 0;
  r = Exec(conn, "SELECT coalesce(max(version), 0) FROM ternis_schema");
  if (!Ok(r)) {
    error = ErrorOf(conn, r);
    return -1;
  }
  return std::atoi(PQgetvalue(r.get(), 0, 0));
}

std::string NewerSchema(int version) {
  return "the database's schema is version " + std::to_string(version) +
         ", newer than this ternis-serve knows (" + std::to_string(DatabaseAdmin::kSchemaVersion) +
         "): use a newer ternis-serve";
}

}  // namespace

DatabaseAdmin::~DatabaseAdmin() {
  if (conn_) PQfinish(conn_);
}

bool DatabaseAdmin::CheckSchema(PGconn* conn, std::string& error) {
  const int version = SchemaVersion(conn, error);
  if (version < 0) return false;
  if (version == 0) {
    error = "the database has no key pool: create it with ternis-serve --db-init URI";
    return false;
  }
  if (version > kSchemaVersion) {
    error = NewerSchema(version);
    return false;
  }
  return true;
}

std::optional<KeyPoolCounts> DatabaseAdmin::CountKeys(PGconn* conn) {
  if (PQstatus(conn) != CONNECTION_OK) return std::nullopt;
  const Result r = Exec(conn, "SELECT state, count(*) FROM ternis_keys GROUP BY state");
  if (!Ok(r)) return std::nullopt;
  KeyPoolCounts c;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    const std::string state = PQgetvalue(r.get(), i, 0);
    const auto n = static_cast<std::size_t>(std::atoll(PQgetvalue(r.get(), i, 1)));
    (state == "ready"    ? c.ready
     : state == "issued" ? c.issued
     : state == "used"   ? c.used
                         : c.spoiled) = n;
  }
  return c;
}

bool DatabaseAdmin::Open(const std::string& uri, std::string& error) {
  conn_ = pg::Connect(uri, error);
  return conn_ && CheckSchema(conn_, error);
}

bool DatabaseAdmin::CreateSchema(const std::string& uri, std::string& said, std::string& error) {
  PGconn* conn = pg::Connect(uri, error);
  if (!conn) return false;
  std::unique_ptr<PGconn, decltype(&PQfinish)> closer(conn, &PQfinish);
  Exec(conn, "SET client_min_messages = warning");
  const int version = SchemaVersion(conn, error);
  if (version < 0) return false;
  if (version > kSchemaVersion) {
    error = NewerSchema(version);
    return false;
  }
  if (version == kSchemaVersion) {
    said =
        "the database's key pool is there already (schema version " + std::to_string(version) + ")";
    return true;
  }
  Result r = Exec(conn, "BEGIN");
  for (const char* statement : kSchema) {
    r = Exec(conn, statement);
    if (!Ok(r)) {
      error = ErrorOf(conn, r);
      return false;
    }
  }
  const std::string version_text = std::to_string(kSchemaVersion);
  r = Exec(conn, "INSERT INTO ternis_schema (version) VALUES ($1::integer)",
           {version_text.c_str()});
  if (Ok(r)) r = Exec(conn, "COMMIT");
  if (!Ok(r)) {
    error = ErrorOf(conn, r);
    return false;
  }
  said = "created the key pool and records in the database (schema version " + version_text + ")";
  return true;
}

bool DatabaseAdmin::Import(const std::string& dir, std::size_t& count, std::string& error) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name[0] != '.' && entry.is_regular_file()) names.push_back(name);
  }
  if (ec) {
    error = dir + ": " + ec.message();
    return false;
  }
  std::sort(names.begin(), names.end());
  Exec(conn_, "BEGIN");
  count = 0;
  for (const std::string& name : names) {
    int load_error = 0;
    const auto key = ImageSnapshot::Load(dir + "/" + name, &load_error, true);
    if (!key || key->contents().empty()) {
      error = name + ": " + (key ? "empty" : std::strerror(load_error));
      break;
    }
    const std::string sha = Sha256Hex(key->contents());
    Result r = Exec(conn_, "SELECT name FROM ternis_keys WHERE sha256 = $1 OR name = $2",
                    {sha.c_str(), name.c_str()});
    if (Ok(r) && PQntuples(r.get()) > 0) {
      error = name + ": already in the pool (as " + PQgetvalue(r.get(), 0, 0) +
              "): the same name or the same bytes (SHA-256)";
      break;
    }
    const char* values[] = {name.c_str(), sha.c_str(),
                            reinterpret_cast<const char*>(key->contents().data())};
    const int lengths[] = {0, 0, static_cast<int>(key->contents().size())};
    const int formats[] = {0, 0, 1};
    r = Result(
        PQexecParams(conn_, "INSERT INTO ternis_keys (name, sha256, bytes) VALUES ($1, $2, $3)", 3,
                     nullptr, values, lengths, formats, 0),
        &PQclear);
    if (!Ok(r)) {
      error = name + ": " + ErrorOf(conn_, r);
      break;
    }
    ++count;
  }
  if (!error.empty()) {
    Exec(conn_, "ROLLBACK");
    count = 0;
    return false;
  }
  const Result r = Exec(conn_, "COMMIT");
  if (!Ok(r)) {
    error = ErrorOf(conn_, r);
    count = 0;
    return false;
  }
  return true;
}

bool DatabaseAdmin::ReturnSpoiled(const std::string& name, std::string& error) {
  const Result r = Exec(conn_,
                        "UPDATE ternis_keys SET state = 'ready', station = NULL, slot = NULL,"
                        " reason = 'returned by hand', changed = now()"
                        " WHERE name = $1 AND state = 'spoiled' RETURNING name",
                        {name.c_str()});
  if (!Ok(r)) {
    error = ErrorOf(conn_, r);
    return false;
  }
  if (PQntuples(r.get()) == 0) {
    error = "no spoiled key " + name + " in the database";
    return false;
  }
  return true;
}

std::vector<DatabaseAdmin::SilentKey> DatabaseAdmin::SilentIssued(double seconds,
                                                                  std::string& error) {
  std::vector<SilentKey> keys;
  const std::string limit = std::to_string(seconds);
  const Result r = Exec(conn_,
                        "SELECT k.name, k.station, coalesce(k.slot, ''),"
                        " extract(epoch FROM now() - coalesce(s.heard, k.changed))"
                        " FROM ternis_keys k LEFT JOIN ternis_stations s ON s.name = k.station"
                        " WHERE k.state = 'issued'"
                        " AND now() - coalesce(s.heard, k.changed) > $1::double precision"
                        " * interval '1 second' ORDER BY k.station, k.name",
                        {limit.c_str()});
  if (!Ok(r)) {
    error = ErrorOf(conn_, r);
    return keys;
  }
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    keys.push_back({PQgetvalue(r.get(), i, 0), PQgetvalue(r.get(), i, 1), PQgetvalue(r.get(), i, 2),
                    std::atof(PQgetvalue(r.get(), i, 3))});
  }
  return keys;
}

}  // namespace ternis
