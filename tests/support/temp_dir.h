#pragma once
// A private temporary directory, removed with everything in it.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ternis::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes a file under the directory and returns its full path.
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const;

 private:
  std::filesystem::path path_;
};

// Bytes 0, 1, ..., 255, 0, 1, ... so every offset is recognisable.
std::vector<std::uint8_t> CountingBytes(std::size_t size);

}  // namespace ternis::test
