#pragma once
// The memory an image's bytes live in: mapped pages of their own, wiped
// (explicit_bzero) before they are given back, so a released key leaves
// nothing behind. A secret image's pages are also kept out of core dumps
// (MADV_DONTDUMP, and the process is made non-dumpable while any secret is
// held) and locked in memory where the limit allows (mlock), so they never
// reach swap.

#include <cstddef>
#include <cstdint>
#include <span>

namespace ternis {

class ImageBytes {
 public:
  ImageBytes() = default;
  // Room for `size` bytes (at least one page); check valid().
  ImageBytes(std::size_t size, bool secret);
  ~ImageBytes();
  ImageBytes(ImageBytes&& other) noexcept;
  ImageBytes& operator=(ImageBytes&& other) noexcept;
  ImageBytes(const ImageBytes&) = delete;
  ImageBytes& operator=(const ImageBytes&) = delete;

  bool valid() const { return data_ != nullptr; }
  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool secret() const { return secret_; }
  // Whether mlock took (secret images only; it may be over the limit).
  bool locked() const { return locked_; }

  // Tests: called with the bytes after they were wiped, before the pages go.
  using ReleaseHook = void (*)(std::span<const std::uint8_t> wiped);
  static void SetReleaseHookForTest(ReleaseHook hook);

 private:
  void Release();

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;
  bool secret_ = false;
  bool locked_ = false;
};

}  // namespace ternis
