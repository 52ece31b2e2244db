#pragma once
// The file served to the box: read whole into memory at load time and kept
// open, so its current size can be asked each time progress is computed.
//
// Each load builds a new immutable ImageSnapshot and swaps it in atomically.
// A request takes its own reference first, so a load on the window's thread
// never frees or moves bytes that the receive thread is still sending.

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "protocol/image_bytes.h"
#include "protocol/unique_fd.h"

namespace ternis {

class ImageSnapshot {
 public:
  // Files this large are refused: sizes and offsets on the wire are 32-bit.
  static constexpr std::uint64_t kMaxSize = 0xFFFFFFFFull;

  ImageSnapshot(UniqueFd fd, ImageBytes bytes)
      : fd_(std::move(fd)), bytes_(std::move(bytes)), id_(NextId()) {}

  // Reads the whole regular file at path. Null on failure, with *error set
  // to the errno value (EINVAL: not a regular file, EFBIG: 4 GiB or more,
  // EIO: the file shrank while being read). A secret (a key file) is kept
  // out of core dumps and swap; every image is wiped when released.
  static std::shared_ptr<const ImageSnapshot> Load(const std::string& path, int* error = nullptr,
                                                   bool secret = false);

  // The bytes as they were when the file was loaded.
  std::span<const std::uint8_t> contents() const { return {bytes_.data(), bytes_.size()}; }
  bool secret() const { return bytes_.secret(); }
  // For a secret: whether its pages are locked in memory (mlock may be over the limit).
  bool locked() const { return bytes_.locked(); }

  // The size of the open file now (it may have grown or shrunk since the
  // load); the loaded size if the file can no longer be asked.
  std::uint64_t CurrentSize() const;

  // Unique for the life of the process: tells two loads apart even when
  // one is freed and the next lands at the same address.
  std::uint64_t id() const { return id_; }

 private:
  static std::uint64_t NextId();

  UniqueFd fd_;
  ImageBytes bytes_;
  std::uint64_t id_;
};

class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  // Replaces the image with the file at path. A failed load (missing file, empty path, not a
  // regular file, 4 GiB or more, out of memory, short read) leaves no usable image.
  bool LoadImageFile(const std::string& path, bool secret = false);

  // Drops the image.
  void Clear();

  // Serves an image loaded elsewhere (several ports, one file in memory).
  void Adopt(std::shared_ptr<const ImageSnapshot> snapshot) { Replace(std::move(snapshot)); }

  // The current image, or null when there is none. Cheap: no copy, no
  // allocation. Hold the result for the whole of a request.
  std::shared_ptr<const ImageSnapshot> Acquire() const;

  bool IsUsable() const { return Acquire() != nullptr; }

 private:
  void Replace(std::shared_ptr<const ImageSnapshot> snapshot);

  // Guards only the pointer swap and copy, never the file I/O or a request.
  mutable std::mutex mutex_;
  std::shared_ptr<const ImageSnapshot> current_;
};

}  // namespace ternis
