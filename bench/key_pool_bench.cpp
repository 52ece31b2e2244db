// Keys taken per second by 4 stations of 16 slots each, and the latency a
// take adds between a box's boot-up and the first byte of its key (median,
// 99th percentile): one PostgreSQL pool shared by the four (a throw-away
// server started here), against a folder pool of each station's own.
// A slot takes a key, then ends its unit (record and key state). Both on
// disks that sync: the folder pool fsyncs, the database runs with fsync on.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "station/database_admin.h"
#include "station/key_pool.h"
#include "station/station_database.h"
#include "tests/support/pg_cluster.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace ternis;
using Clock = std::chrono::steady_clock;
constexpr int kStations = 4;
constexpr int kSlots = 16;
constexpr int kKeysPerStation = 1000;

void MakeKeys(const std::filesystem::path& dir, int count, int first) {
  std::filesystem::create_directories(dir);
  std::mt19937 random(static_cast<unsigned>(first));
  for (int i = 0; i < count; ++i) {
    std::vector<std::uint8_t> key(2048);
    for (auto& b : key) b = static_cast<std::uint8_t>(random());
    char name[32];
    std::snprintf(name, sizeof name, "key-%06d", first + i);
    FILE* f = std::fopen((dir / name).c_str(), "wb");
    std::fwrite(key.data(), 1, key.size(), f);
    std::fclose(f);
  }
}

struct Figures {
  double keys_per_second = 0;
  double median_ms = 0, p99_ms = 0;
  std::size_t taken = 0;
};

// Every slot of every station takes and ends units until its source is dry.
Figures Run(std::vector<KeySource*> stations, std::vector<StationDatabase*> dbs) {
  std::vector<std::vector<double>> latencies(kStations * kSlots);
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int s = 0; s < kStations; ++s) {
    for (int slot = 0; slot < kSlots; ++slot) {
      threads.emplace_back([&, s, slot] {
        const auto index = static_cast<std::size_t>(s) * kSlots + static_cast<std::size_t>(slot);
        std::vector<double>& mine = latencies[index];
        const std::string name = "s" + std::to_string(slot);
        for (;;) {
          std::vector<KeyMove> moved;
          std::string error;
          const auto t0 = Clock::now();
          auto key = stations[static_cast<std::size_t>(s)]->Take(name, moved, error);
          mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
          if (!key) break;
          if (!dbs.empty()) {
            UnitRecord record;
            record.slot = name;
            record.image = {"key_pool", key->image->contents().size(), key->sha256, key->name};
            record.result.outcome = UnitOutcome::kPass;
            dbs[static_cast<std::size_t>(s)]->EndUnit(record, key->name, KeyFate::kUsed, error);
          } else {
            stations[static_cast<std::size_t>(s)]->Finish(key->name, KeyFate::kUsed, error);
          }
        }
        mine.pop_back();  // the take that found none
      });
    }
  }
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  Figures f;
  f.taken = all.size();
  f.keys_per_second = static_cast<double>(all.size()) / seconds;
  if (!all.empty()) {
    f.median_ms = all[all.size() / 2];
    f.p99_ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  }
  return f;
}

void Print(const char* what, const Figures& f) {
  std::printf("%-34s %6zu keys  %8.0f keys/s  take median %.3f ms  p99 %.3f ms\n", what, f.taken,
              f.keys_per_second, f.median_ms, f.p99_ms);
}

}  // namespace

int main() {
  test::TempDir dir;
  // Folder pools: each station its own folder, its share of the keys.
  std::vector<std::unique_ptr<KeyPool>> folders;
  std::vector<KeySource*> folder_sources;
  for (int s = 0; s < kStations; ++s) {
    const auto pool = dir.path() / ("pool" + std::to_string(s));
    MakeKeys(pool / "ready", kKeysPerStation, s * kKeysPerStation);
    folders.push_back(std::make_unique<KeyPool>());
    std::string error;
    if (!folders.back()->Open(pool.string(), true, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    folder_sources.push_back(folders.back().get());
  }
  Print("folder pools (4 x 16 slots)", Run(folder_sources, {}));

  test::PgCluster cluster(true);
  if (!cluster.ok()) {
    std::fprintf(stderr, "no database: %s\n", cluster.why().c_str());
    return 1;
  }
  std::string said, error;
  MakeKeys(dir.path() / "import", kStations * kKeysPerStation, 100000);
  if (!DatabaseAdmin::CreateSchema(cluster.Uri(), said, error)) return 1;
  DatabaseAdmin admin;
  std::size_t count = 0;
  if (!admin.Open(cluster.Uri(), error) ||
      !admin.Import((dir.path() / "import").string(), count, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::vector<std::unique_ptr<StationDatabase>> dbs;
  std::vector<KeySource*> sources;
  std::vector<StationDatabase*> raw;
  for (int s = 0; s < kStations; ++s) {
    dbs.push_back(std::make_unique<StationDatabase>(
        "station" + std::to_string(s), (dir.path() / ("spool" + std::to_string(s))).string()));
    if (!dbs.back()->Open(cluster.Uri(), error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    sources.push_back(dbs.back().get());
    raw.push_back(dbs.back().get());
  }
  Print("PostgreSQL pool (4 x 16 slots)", Run(sources, raw));
  return 0;
}
