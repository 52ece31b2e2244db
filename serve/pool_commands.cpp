#include "serve/pool_commands.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "station/key_pool.h"
#include "station/printable_text.h"
#include "station/database_admin.h"
#include "station/station_database.h"
#include "station/station_setup.h"

namespace ternis::serve {

namespace {

int Fail(const std::string& error) {
  std::fprintf(stderr, "ternis-serve: %s\n", PrintableText(error).c_str());
  return 1;
}

void PrintCounts(const KeyPoolCounts& c, bool json, nlohmann::json more = {}) {
  if (json) {
    nlohmann::json counts{
        {"ready", c.ready}, {"issued", c.issued}, {"used", c.used}, {"spoiled", c.spoiled}};
    if (!more.is_null()) counts.update(more);
    std::printf("%s\n", counts.dump().c_str());
  } else {
    std::printf("ready    %zu\nissued   %zu\nused     %zu\nspoiled  %zu\n", c.ready, c.issued,
                c.used, c.spoiled);
  }
}

}  // namespace

int DatabaseCommand(const ServeOptions& options) {
  std::string error, said;
  if (!options.db_init.empty()) {
    if (!DatabaseAdmin::CreateSchema(options.db_init, said, error)) return Fail(error);
    std::fprintf(stderr, "ternis-serve: %s\n", said.c_str());
    return 0;
  }
  DatabaseAdmin db;
  if (!db.Open(options.key_pool, error)) return Fail("key pool " + options.key_pool + ": " + error);
  if (!options.pool_import.empty()) {
    std::size_t count = 0;
    if (!db.Import(options.pool_import, count, error))
      return Fail("nothing imported: " + error);
    std::fprintf(stderr, "ternis-serve: %zu keys imported into the pool\n", count);
    return 0;
  }
  if (!options.pool_return.empty()) {
    if (!db.ReturnSpoiled(options.pool_return, error)) return Fail(error);
    std::fprintf(stderr, "ternis-serve: key %s back to ready\n",
                 PrintableText(options.pool_return).c_str());
    return 0;
  }
  const auto silent = db.SilentIssued(options.silent_for, error);
  if (!error.empty()) return Fail(error);
  nlohmann::json listed = nlohmann::json::array();
  for (const auto& key : silent) {
    listed.push_back({{"key", key.name},
                      {"station", key.station},
                      {"slot", key.slot},
                      {"silent_s", static_cast<long long>(key.silent_s)}});
  }
  PrintCounts(db.Counts(), options.json, {{"issued_to_silent_stations", listed}});
  if (!options.json) {
    for (const auto& key : silent)
      std::printf("issued to silent station: %s (station %s, slot %s, silent %.0f s)\n",
                  key.name.c_str(), key.station.c_str(), key.slot.c_str(), key.silent_s);
  }
  return 0;
}

// --pool-status and --pool-return: the pool by hand, no boxes.
int PoolCommand(const ServeOptions& options) {
  if (IsDatabaseUri(options.key_pool)) return DatabaseCommand(options);
  KeyPool pool;
  std::string error;
  if (!pool.Open(options.key_pool, false, error)) {
    std::fprintf(stderr, "ternis-serve: %s\n", error.c_str());
    return 1;
  }
  if (!options.pool_return.empty()) {
    if (!pool.ReturnSpoiled(options.pool_return, error)) {
      std::fprintf(stderr, "ternis-serve: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(stderr, "ternis-serve: key %s moved from spoiled/ back to ready/\n",
                 options.pool_return.c_str());
    return 0;
  }
  PrintCounts(pool.Counts(), options.json);
  return 0;
}

}  // namespace ternis::serve
