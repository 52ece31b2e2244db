#include "protocol/image_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

using test::CountingBytes;
using test::TempDir;

// Each failed load says why and leaves no image: the old one must not be
// served as if it were the file asked for.
TEST(ImageFile, AFailedLoadSaysWhyAndLeavesNoImage) {
  TempDir dir;
  const std::string good = dir.Write("good", CountingBytes(10));
  std::filesystem::create_directory(dir.path() / "dir");
  const std::string huge = dir.Write("huge", {});
  ASSERT_EQ(::truncate(huge.c_str(), 0x100000000LL), 0);  // 4 GiB, sparse
  const std::pair<std::string, int> cases[] = {
      {"", ENOENT},
      {(dir.path() / "dir").string(), EISDIR},
      {huge, EFBIG},
  };
  for (const auto& [path, expected] : cases) {
    int error = 0;
    EXPECT_EQ(ImageSnapshot::Load(path, &error), nullptr) << path;
    EXPECT_EQ(error, expected) << path;
    ImageFile image;
    ASSERT_TRUE(image.LoadImageFile(good));
    EXPECT_FALSE(image.LoadImageFile(path)) << path;
    EXPECT_FALSE(image.IsUsable()) << path;
  }
  const std::string unreadable = dir.Write("unreadable", CountingBytes(10));
  ::chmod(unreadable.c_str(), 0);
  if (::geteuid() != 0) {  // root reads anything
    EXPECT_FALSE(ImageFile().LoadImageFile(unreadable));
  }
}

TEST(ImageFile, ASnapshotOutlivesTheLoadThatReplacesIt) {
  TempDir dir;
  ImageFile image;
  EXPECT_FALSE(image.IsUsable());
  ASSERT_TRUE(image.LoadImageFile(dir.Write("a", std::vector<std::uint8_t>(4096, 0xAA))));
  EXPECT_TRUE(image.IsUsable());
  const auto in_flight = image.Acquire();
  ASSERT_TRUE(image.LoadImageFile(dir.Write("b", std::vector<std::uint8_t>(16, 0xBB))));
  image.Clear();
  // Still readable (AddressSanitizer would flag a use after free here).
  for (std::uint8_t b : in_flight->contents()) ASSERT_EQ(b, 0xAA);
  EXPECT_EQ(in_flight->CurrentSize(), 4096u);
}

}  // namespace
}  // namespace ternis
