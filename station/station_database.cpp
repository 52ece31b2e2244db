#include "station/station_database.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "station/database_admin.h"
#include "station/pg_query.h"

namespace ternis {

using pg::ErrorOf;
using pg::Exec;
using pg::Ok;
using pg::Result;
using pg::Trimmed;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRetry = std::chrono::seconds(1);
constexpr auto kHeartbeat = std::chrono::seconds(10);

// One end of a unit: its record (if any) and its key's new state (if any),
// with the station heard of. Atomic: one statement.
constexpr const char* kApplyEnd =
    "WITH rec AS (INSERT INTO ternis_records (id, station, record)"
    "  SELECT $1::uuid, $2, $3::jsonb WHERE $3::jsonb IS NOT NULL"
    "  ON CONFLICT (id) DO NOTHING),"
    " moved AS (UPDATE ternis_keys SET state = $5, reason = $6, changed = now(),"
    "  station = CASE WHEN $5 = 'ready' THEN NULL ELSE station END,"
    "  slot = CASE WHEN $5 = 'ready' THEN NULL ELSE slot END"
    "  WHERE name = $4 AND state = 'issued' AND station = $2)"
    " INSERT INTO ternis_stations (name, heard) VALUES ($2, now())"
    " ON CONFLICT (name) DO UPDATE SET heard = now()";

constexpr const char* kTakeKey =
    "WITH heard AS (INSERT INTO ternis_stations (name, heard) VALUES ($1, now())"
    "  ON CONFLICT (name) DO UPDATE SET heard = now())"
    " UPDATE ternis_keys SET state = 'issued', station = $1, slot = $2, reason = NULL,"
    "  changed = now()"
    " WHERE state = 'ready' AND id = (SELECT id FROM ternis_keys WHERE state = 'ready'"
    "  ORDER BY id LIMIT 1 FOR UPDATE SKIP LOCKED)"
    " RETURNING name, sha256, bytes";

const char* FateName(KeyFate fate) {
  return fate == KeyFate::kUsed ? "used" : fate == KeyFate::kSpoiled ? "spoiled" : "ready";
}

std::string NewId() {
  unsigned char b[16];
  if (RAND_bytes(b, sizeof b) != 1) {
    for (auto& c : b) c = static_cast<unsigned char>(std::rand());
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return text;
}

}  // namespace

// A URI, or libpq's keyword form ("host=db dbname=keys", "service=pool"):
// a folder's path never parses as the latter.
bool IsDatabaseUri(const std::string& text) {
  if (text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0) return true;
  if (text.find('=') == std::string::npos) return false;
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(text.c_str(), &error);
  if (error) PQfreemem(error);
  if (!options) return false;
  PQconninfoFree(options);
  return true;
}

StationDatabase::StationDatabase(std::string station, std::string spool)
    : station_(std::move(station)), spool_path_(std::move(spool)) {}

StationDatabase::~StationDatabase() {
  if (conn_) PQfinish(conn_);
}

bool StationDatabase::Open(const std::string& uri, std::string& error) {
  std::lock_guard lock(mutex_);
  conn_ = pg::Connect(uri, error);
  if (!conn_ || !DatabaseAdmin::CheckSchema(conn_, error)) return false;
  // The server notices a killed station's connection a moment after it
  // died; until then its lock on the name is still held.
  for (int tries = 0; !ClaimName(error); ++tries) {
    if (tries == 100 || PQstatus(conn_) != CONNECTION_OK) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  error.clear();
  std::error_code ignored;  // a folder that cannot be made shows in the open below
  std::filesystem::create_directories(std::filesystem::path(spool_path_).parent_path(), ignored);
  spool_.reset(::open(spool_path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  struct stat st {};
  if (!spool_.valid() || ::fstat(spool_.get(), &st) != 0) {
    error = "cannot open the spool " + spool_path_ + ": " + std::strerror(errno);
    return false;
  }
  ::fchmod(spool_.get(), 0600);
  spool_pending_ = st.st_size > 0;
  if (spool_pending_ && !FlushSpool(error)) return false;
  last_heard_ = Clock::now();
  return true;
}

// Held for the connection's life; taken again after a reconnect.
bool StationDatabase::ClaimName(std::string& error) {
  const Result r = Exec(conn_, "SELECT pg_try_advisory_lock(hashtext('ternis station ' || $1))",
                        {station_.c_str()});
  if (!Ok(r)) {
    error = ErrorOf(conn_, r);
    return false;
  }
  if (std::string(PQgetvalue(r.get(), 0, 0)) != "t") {
    error = "a station named " + station_ +
            " is already serving from this database (give each station its own --station-name)";
    return false;
  }
  return true;
}

// A lost connection is tried again, at most once a second.
bool StationDatabase::Connected() {
  if (PQstatus(conn_) == CONNECTION_OK) return true;
  const auto now = Clock::now();
  if (now < next_try_) return false;
  next_try_ = now + kRetry;
  PQreset(conn_);
  if (PQstatus(conn_) != CONNECTION_OK) return false;
  std::string error;
  if (opened() && !ClaimName(error)) news_.push_back(error);
  return true;
}

void StationDatabase::Lost(const std::string& error) {
  if (!down_) {
    down_ = true;
    down_reason_ = error;
    news_.push_back("database unreachable (" + error +
                    "): no new unit starts; records are kept in " + spool_path_);
  }
}

bool StationDatabase::Apply(const nlohmann::json& end, std::string& error) {
  if (!Connected()) {
    error = Trimmed(PQerrorMessage(conn_));
    return false;
  }
  const std::string id = end.value("id", "");
  const std::string record =
      end.contains("record")
          ? end["record"].dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
          : "";
  const std::string key = end.value("key", "");
  const std::string to = end.value("to", "");
  const std::string reason = end.value("reason", "");
  const Result r = Exec(conn_, kApplyEnd,
                        {id.empty() ? nullptr : id.c_str(), station_.c_str(),
                         record.empty() ? nullptr : record.c_str(),
                         key.empty() ? nullptr : key.c_str(), to.empty() ? "ready" : to.c_str(),
                         reason.empty() ? nullptr : reason.c_str()});
  if (!Ok(r)) {
    error = ErrorOf(conn_, r);
    return false;
  }
  return true;
}

bool StationDatabase::Spool(const nlohmann::json& end, std::string& error) {
  const std::string line =
      end.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  ssize_t n;
  do {
    n = ::write(spool_.get(), line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(line.size()) || ::fsync(spool_.get()) != 0) {
    error = "cannot write the spool " + spool_path_ + ": " +
            (n < 0 ? std::strerror(errno) : "short write (disk full?)");
    return false;
  }
  spool_pending_ = true;
  return true;
}

// In order, from the first; ends written already are ignored by the database.
bool StationDatabase::FlushSpool(std::string& error) {
  std::string text;
  char buffer[65536];
  ssize_t n;
  while ((n = ::pread(spool_.get(), buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
    text.append(buffer, static_cast<std::size_t>(n));
  std::size_t written = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const auto entry = nlohmann::json::parse(text.substr(start, end - start), nullptr, false);
    if (entry.is_discarded()) continue;  // a line cut by a crash was never acknowledged
    if (!Apply(entry, error)) return false;
    ++written;
  }
  if (::ftruncate(spool_.get(), 0) != 0 || ::fsync(spool_.get()) != 0) {
    error = "cannot empty the spool " + spool_path_ + ": " + std::strerror(errno);
    return false;
  }
  spool_pending_ = false;
  if (down_) {
    down_ = false;
    news_.push_back("database reachable again: " + std::to_string(written) +
                    " ends from the spool written");
  }
  return true;
}

StationDatabase::Written StationDatabase::Write(const nlohmann::json& end, std::string& error) {
  if (!spool_pending_ || FlushSpool(error)) {
    if (Apply(end, error)) {
      last_heard_ = Clock::now();
      return Written::kInDatabase;
    }
  }
  Lost(error);
  // Not known to be written: kept, and written again (a second time is ignored).
  if (!Spool(end, error)) return Written::kLost;
  return Written::kSpooled;
}

std::vector<KeyMove> StationDatabase::Recover() {
  std::lock_guard lock(mutex_);
  std::vector<KeyMove> moves;
  const Result r = Exec(conn_,
                        "UPDATE ternis_keys SET state = 'spoiled', reason = $2, changed = now()"
                        " WHERE state = 'issued' AND station = $1 RETURNING name",
                        {station_.c_str(), kStoppedIssued});
  if (!Ok(r)) {
    moves.push_back({"(all)", "issued", ErrorOf(conn_, r)});
    return moves;
  }
  for (int i = 0; i < PQntuples(r.get()); ++i)
    moves.push_back({PQgetvalue(r.get(), i, 0), "spoiled", kStoppedIssued});
  return moves;
}

std::optional<IssuedKey> StationDatabase::Take(const std::string& slot, std::vector<KeyMove>&,
                                               std::string& error) {
  std::lock_guard lock(mutex_);
  if (spool_pending_ && !FlushSpool(error)) {
    Lost(error);
    error.clear();  // said once, by Lost
    return std::nullopt;
  }
  if (!Connected()) {
    Lost(Trimmed(PQerrorMessage(conn_)));
    return std::nullopt;
  }
  Result r = Exec(conn_, kTakeKey, {station_.c_str(), slot.c_str()}, 1);
  if (!Ok(r)) {
    Lost(ErrorOf(conn_, r));
    return std::nullopt;
  }
  last_heard_ = Clock::now();
  if (PQntuples(r.get()) == 0) return std::nullopt;
  const std::string name(PQgetvalue(r.get(), 0, 0), PQgetlength(r.get(), 0, 0));
  const std::string sha(PQgetvalue(r.get(), 0, 1), PQgetlength(r.get(), 0, 1));
  char* bytes = PQgetvalue(r.get(), 0, 2);
  const std::size_t size = static_cast<std::size_t>(PQgetlength(r.get(), 0, 2));
  ImageBytes copy(size, true);
  if (copy.valid()) std::memcpy(copy.data(), bytes, size);
  OPENSSL_cleanse(bytes, size);
  if (!copy.valid() || size == 0) {
    error = "cannot hold key " + name + " in memory";
    return std::nullopt;  // stays issued: spoiled when the station starts again
  }
  auto image = std::make_shared<const ImageSnapshot>(UniqueFd(), std::move(copy));
  return IssuedKey{name, std::move(image), sha};
}

bool StationDatabase::Finish(const std::string& name, KeyFate fate, std::string& error) {
  std::lock_guard lock(mutex_);
  const nlohmann::json end{{"key", name}, {"to", FateName(fate)}};
  return Write(end, error) != Written::kLost;
}

StationDatabase::Written StationDatabase::EndUnit(const UnitRecord& record, const std::string& key,
                                                  KeyFate fate, std::string& error) {
  std::lock_guard lock(mutex_);
  nlohmann::json end{{"id", NewId()}, {"record", ToJson(record)}};
  if (!key.empty()) {
    end["key"] = key;
    end["to"] = FateName(fate);
    if (fate == KeyFate::kSpoiled) end["reason"] = record.result.reason;
  }
  return Write(end, error);
}

// While the database is away, the counts it last gave.
KeyPoolCounts StationDatabase::Counts() const {
  std::lock_guard lock(mutex_);
  if (const auto counts = DatabaseAdmin::CountKeys(conn_)) counts_ = *counts;
  return counts_;
}

std::vector<std::string> StationDatabase::Upkeep(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  std::string error;
  if (spool_pending_) {
    FlushSpool(error);
  } else if (opened() && now - last_heard_ >= kHeartbeat) {
    last_heard_ = now;
    if (Connected()) {
      const Result r = Exec(conn_,
                            "INSERT INTO ternis_stations (name, heard) VALUES ($1, now())"
                            " ON CONFLICT (name) DO UPDATE SET heard = now()",
                            {station_.c_str()});
      if (!Ok(r)) Lost(ErrorOf(conn_, r));
    }
  }
  return std::exchange(news_, {});
}

std::optional<Clock::time_point> StationDatabase::NextUpkeep() const {
  std::lock_guard lock(mutex_);
  if (!opened()) return std::nullopt;
  return spool_pending_ ? Clock::now() + kRetry : last_heard_ + kHeartbeat;
}

bool StationDatabase::reachable() const {
  std::lock_guard lock(mutex_);
  return !down_;
}

}  // namespace ternis
