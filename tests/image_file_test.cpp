#include "protocol/image_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

using test::CountingBytes;
using test::TempDir;

std::vector<std::uint8_t> Contents(const ImageFile& image) {
  const auto snapshot = image.Acquire();
  if (!snapshot) return {};
  return {snapshot->contents().begin(), snapshot->contents().end()};
}

TEST(ImageFile, StartsEmptyAndLoadsAWholeFile) {
  TempDir dir;
  ImageFile image;
  EXPECT_FALSE(image.IsUsable());
  const auto bytes = CountingBytes(100'000);
  ASSERT_TRUE(image.LoadImageFile(dir.Write("fw.hex", bytes)));
  EXPECT_TRUE(image.IsUsable());
  EXPECT_EQ(Contents(image), bytes);
  EXPECT_EQ(image.Acquire()->CurrentSize(), 100'000u);
}

TEST(ImageFile, FailedLoadsLeaveNoUsableImage) {
  TempDir dir;
  const std::string good = dir.Write("good", CountingBytes(10));
  std::filesystem::create_directory(dir.path() / "a-directory");
  ASSERT_EQ(::mkfifo((dir.path() / "a-fifo").c_str(), 0600), 0);
  const std::string unreadable = dir.Write("unreadable", CountingBytes(10));
  ::chmod(unreadable.c_str(), 0);
  const std::string huge = dir.Write("huge", {});
  ASSERT_EQ(::truncate(huge.c_str(), 0x100000000LL), 0);  // 4 GiB, sparse

  const std::string bad_paths[] = {
      "", (dir.path() / "missing").string(), (dir.path() / "a-directory").string(),
      (dir.path() / "a-fifo").string(),  // must not block waiting for a writer
      huge,
  };
  for (const std::string& bad : bad_paths) {
    ImageFile image;
    ASSERT_TRUE(image.LoadImageFile(good));
    EXPECT_FALSE(image.LoadImageFile(bad)) << bad;
    EXPECT_FALSE(image.IsUsable()) << "the old image must be gone after a failed load: " << bad;
  }
  if (::geteuid() != 0) {  // root reads anything
    ImageFile image;
    EXPECT_FALSE(image.LoadImageFile(unreadable));
  }
}

TEST(ImageFile, LoadSaysWhyItFailed) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() / "dir");
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  const std::string huge = dir.Write("huge", {});
  ASSERT_EQ(::truncate(huge.c_str(), 0x100000000LL), 0);
  const std::pair<std::string, int> cases[] = {
      {(dir.path() / "missing").string(), ENOENT},
      {(dir.path() / "dir").string(), EISDIR},
      {(dir.path() / "fifo").string(), EINVAL},
      {huge, EFBIG},
  };
  for (const auto& [path, expected] : cases) {
    int error = 0;
    EXPECT_EQ(ImageSnapshot::Load(path, &error), nullptr) << path;
    EXPECT_EQ(error, expected) << path;
  }
}

TEST(ImageFile, ASnapshotOutlivesTheLoadThatReplacesIt) {
  TempDir dir;
  ImageFile image;
  ASSERT_TRUE(image.LoadImageFile(dir.Write("a", std::vector<std::uint8_t>(4096, 0xAA))));
  const auto in_flight = image.Acquire();
  ASSERT_TRUE(image.LoadImageFile(dir.Write("b", std::vector<std::uint8_t>(16, 0xBB))));
  image.Clear();
  // Still readable (AddressSanitizer would flag a use after free here).
  for (std::uint8_t b : in_flight->contents()) ASSERT_EQ(b, 0xAA);
  EXPECT_EQ(in_flight->CurrentSize(), 4096u);
}

}  // namespace
}  // namespace ternis
