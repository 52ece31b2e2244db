// Key files: wiped when released, out of core dumps while held, and a
// warning when others can read them.

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "protocol/image_file.h"
#include "station/key_file_check.h"
#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

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
  struct Case {
    mode_t mode;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {0600, {}},
      {0640, {"key file " + path + " can be read by its group (mode 0640): chmod 600 " + path}},
      {0644,
       {"key file " + path + " can be read by anyone on this machine (mode 0644): chmod 600 " +
        path}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    EXPECT_EQ(KeyFileWarnings(path), c.warnings) << std::oct << c.mode;
  }
  if (::geteuid() != 0) GTEST_SKIP() << "giving the file to another user needs root";
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  EXPECT_EQ(KeyFileWarnings(path),
            std::vector<std::string>{"key file " + path + " belongs to another user (uid 65534)"});
}

}  // namespace
}  // namespace ternis
