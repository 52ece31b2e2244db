// Key files: wiped when released, out of core dumps while held, and a
// warning when others can read them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "protocol/image_file.h"
#include "station/key_file_check.h"
#include "station/key_pool.h"
#include "tests/support/holds.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

using test::Holds;

std::atomic<std::size_t> g_released_size{0};
std::atomic<bool> g_released_zero{false};

void SeeRelease(std::span<const std::uint8_t> wiped) {
  g_released_size = wiped.size();
  g_released_zero = std::all_of(wiped.begin(), wiped.end(), [](std::uint8_t b) { return b == 0; });
}

TEST(KeyCare, ReleasedBytesAreWipedAndSecretsStayOutOfCoreDumps) {
  test::TempDir dir;
  const std::string path = dir.Write("m.key", std::vector<std::uint8_t>(5000, 0xAB));
  ImageBytes::SetReleaseHookForTest(SeeRelease);
  ASSERT_EQ(::prctl(PR_GET_DUMPABLE), 1);
  {
    auto key = ImageSnapshot::Load(path, nullptr, true);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->secret());
    EXPECT_EQ(key->contents()[4999], 0xAB);
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 0) << "no core dump while a key is held";
    auto second = ImageSnapshot::Load(path, nullptr, true);
    second.reset();
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 0) << "still one key held";
  }
  EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 1) << "dumpable again once no key is held";
  EXPECT_EQ(g_released_size, 5000u);
  EXPECT_TRUE(g_released_zero);

  g_released_zero = false;
  ImageFile image;  // any image, secret or not, through the engine's holder
  ASSERT_TRUE(image.LoadImageFile(path));
  image.Clear();
  EXPECT_TRUE(g_released_zero);
  ImageBytes::SetReleaseHookForTest(nullptr);
}

TEST(KeyCare, LooseKeyFilesAreWarnedAbout) {
  test::TempDir dir;
  const std::string path = dir.Write("c.key", {1, 2, 3});
  const std::string fix = ": chmod 600 " + path;
  const std::pair<mode_t, std::vector<std::string>> cases[] = {
      {0600, {}}, {0640, {"key file " + path + " can be read by its group (mode 0640)" + fix}}};
  for (const auto& [mode, warnings] : cases) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    EXPECT_EQ(KeyFileWarnings(path), warnings) << std::oct << mode;
  }
  if (::geteuid() != 0) GTEST_SKIP() << "giving the file to another user needs root";
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  EXPECT_EQ(KeyFileWarnings(path),
            std::vector<std::string>{"key file " + path + " belongs to another user (uid 65534)"});
}

// --- key pools ---

namespace fs = std::filesystem;

std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

void WriteKey(const fs::path& path, std::size_t size, std::uint8_t fill) {
  std::ofstream(path, std::ios::binary) << std::string(size, static_cast<char>(fill));
}

TEST(KeyPool, KeysGoInNameOrderThroughIssuedAndBackOnlyByHand) {
  test::TempDir dir;
  const fs::path pool = dir.path();
  std::optional<KeyPool> station(std::in_place);
  KeyPool& keys = *station;
  std::string error;
  ASSERT_TRUE(keys.Open(pool.string(), true, error)) << error;
  for (const char* folder : {"ready", "issued", "used", "spoiled"})
    EXPECT_EQ(fs::status(pool / folder).permissions(), fs::perms::owner_all) << folder;
  WriteKey(pool / "ready" / "k2", 64, 2);
  WriteKey(pool / "ready" / "k1", 32, 1);
  WriteKey(pool / "ready" / "k3", 16, 3);
  WriteKey(pool / "ready" / ".k0.part", 8, 0);  // still being copied in
  // Files that cannot be keys, ahead in name order: spoiled with their reason.
  const fs::path ready = pool / "ready";
  std::vector<std::pair<std::string, std::string>> spoiled = {
      {"a-empty", "empty"},
      {"b-link", "a symbolic link, not a key file"},
      {"c-fifo", "a FIFO, not a key file"},
      {"d-folder", "not a regular file"}};
  WriteKey(ready / "a-empty", 0, 0);
  WriteKey(pool / "outside", 16, 7);
  fs::create_symlink(pool / "outside", ready / "b-link");
  ASSERT_EQ(::mkfifo((ready / "c-fifo").c_str(), 0600), 0);
  fs::create_directory(ready / "d-folder");
  if (::geteuid() != 0) {  // root reads a file of mode 000
    WriteKey(ready / "e-unreadable", 16, 5);
    fs::permissions(ready / "e-unreadable", fs::perms::none);
    spoiled.emplace_back("e-unreadable", "unreadable: Permission denied");
  }

  std::vector<KeyMove> moved;
  auto first = keys.Take(moved, error);
  ASSERT_TRUE(first) << error;
  EXPECT_EQ(first->name, "k1");
  EXPECT_EQ(first->image->contents().size(), 32u);
  EXPECT_TRUE(first->image->secret());
  EXPECT_EQ(Listing(pool / "issued"), std::vector<std::string>{"k1"});
  ASSERT_EQ(moved.size(), spoiled.size());
  for (std::size_t i = 0; i < moved.size(); ++i) {
    const auto& [name, reason] = spoiled[i];
    EXPECT_EQ(moved[i].name, name);
    EXPECT_EQ(moved[i].to, "spoiled") << name;
    EXPECT_EQ(moved[i].reason, reason) << name;
    EXPECT_TRUE(fs::exists(fs::symlink_status(pool / "spoiled" / name))) << name;
  }
  moved.clear();
  auto second = keys.Take(moved, error);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->name, "k2");
  EXPECT_TRUE(moved.empty());

  EXPECT_TRUE(keys.Finish("k1", KeyFate::kUsed, error)) << error;
  EXPECT_TRUE(keys.Finish("k2", KeyFate::kReady, error)) << error;
  EXPECT_EQ(keys.Take(moved, error)->name, "k2") << "an untouched key is taken again";
  const KeyPoolCounts c = keys.Counts();  // ready: k3; the dot file is not a key
  EXPECT_EQ(std::vector<std::size_t>({c.ready, c.issued, c.used, c.spoiled}),
            std::vector<std::size_t>({1, 1, 1, spoiled.size()}));

  // A station killed mid-unit: what it left issued is spoiled at the next start.
  KeyPool second_station;
  EXPECT_FALSE(second_station.Open(pool.string(), true, error));
  EXPECT_TRUE(Holds(error, "in use by another station"));
  station.emplace();  // the first one stopped: its lock went with it
  ASSERT_TRUE(station->Open(pool.string(), true, error)) << error;
  const auto recovered = station->Recover();
  ASSERT_EQ(recovered.size(), 1u);
  EXPECT_EQ(recovered[0].name, "k2");
  EXPECT_EQ(recovered[0].reason, "station stopped with the key issued");
  EXPECT_TRUE(fs::exists(pool / "spoiled" / "k2"));

  EXPECT_FALSE(station->ReturnSpoiled("k1", error)) << "a used key never comes back";
  EXPECT_TRUE(station->ReturnSpoiled("k2", error)) << error;
  EXPECT_EQ(Listing(pool / "ready"), (std::vector<std::string>{".k0.part", "k2", "k3"}));
  const std::string log = test::ReadText((pool / "pool-log.jsonl").string());
  EXPECT_TRUE(
      Holds(log, R"("from":"issued","key":"k2","reason":"station stopped with the key issued")"));

  // A name already in the target folder is never overwritten.
  WriteKey(pool / "ready" / "k1", 32, 9);
  EXPECT_EQ(station->Take(moved, error)->name, "k1");
  EXPECT_TRUE(station->Finish("k1", KeyFate::kUsed, error));
  EXPECT_EQ(Listing(pool / "used"), (std::vector<std::string>{"k1", "k1~1"}));
  error.clear();
  while (station->Take(moved, error)) {
  }
  EXPECT_TRUE(error.empty()) << "an empty pool gives nothing, and no error: " << error;
}

TEST(KeyPool, PoolsThatCannotBeKeptSafeAreRefused) {
  test::TempDir dir;
  const fs::path pool = dir.path() / "pool";
  const auto refused = [&](const std::string& because) {
    KeyPool keys;
    std::string error;
    EXPECT_FALSE(keys.Open(pool.string(), true, error)) << because;
    EXPECT_TRUE(Holds(error, because));
  };
  WriteKey(pool, 4, 1);
  refused("not a folder");
  fs::remove(pool);
  fs::create_directories(pool / "used");
  if (::mount("tmpfs", (pool / "used").c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "used/ on another file system: mounting needs root";
  refused("used/ is on another file system");
  ::umount((pool / "used").c_str());
}

// A full disk: the key stays in ready/, and no unit starts with it.
TEST(KeyPool, ADiskThatFillsWhileMovingLeavesTheKeyWhereItWas) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  test::TempDir dir;
  const fs::path image = dir.path() / "fs.img";
  const fs::path mount = dir.path() / "mnt";
  fs::create_directory(mount);
  const std::string make = "truncate -s 2M " + image.string() + " && mkfs.ext4 -q -m 0 -b 1024 " +
                           image.string() + " && mount -o loop " + image.string() + " " +
                           mount.string() + " 2>/dev/null";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "no loop mount here";
  struct Unmount {
    fs::path at;
    ~Unmount() { ::umount(at.c_str()); }
  } unmount{mount};
  const fs::path pool = mount / "pool";
  fs::create_directory(pool);
  KeyPool keys;
  std::string error;
  ASSERT_TRUE(keys.Open(pool.string(), true, error)) << error;
  WriteKey(pool / "ready" / "k1", 100, 1);
  {
    std::ofstream fill(mount / "fill", std::ios::binary);
    const std::string block(1024, '\0');
    while (fill.write(block.data(), block.size()) && fill.flush()) {
    }
  }
  // Then issued/'s last block, down to the shortest name.
  int n = 0;
  for (std::size_t length : {100, 40, 12, 4, 1}) {
    for (;; ++n) {
      const fs::path name = pool / "issued" / ("." + std::string(length, 'f') + std::to_string(n));
      const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY, 0600);
      if (fd < 0) break;
      ::close(fd);
    }
  }
  ASSERT_EQ(errno, ENOSPC);
  std::vector<KeyMove> moved;
  EXPECT_FALSE(keys.Take(moved, error));
  EXPECT_TRUE(Holds(error, "No space left on device"));
  EXPECT_EQ(Listing(pool / "ready"), std::vector<std::string>{"k1"});
  EXPECT_TRUE(moved.empty());
}

}  // namespace
}  // namespace ternis
