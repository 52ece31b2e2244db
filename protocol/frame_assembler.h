#pragma once
// Cuts the byte stream from the box into frame bodies.
//
// A frame is STX, body, ETX, with no length, checksum or escaping, so the
// rules below decide when 0x02 and 0x03 are data: STX opens a frame only
// outside one; ETX closes it only after at least one body byte and, for a
// data request (first byte 0x02), only after all 7 body bytes. The state is
// carried across Feed calls, so a frame may arrive split in any way.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/constants.h"
#include "protocol/trace.h"

namespace ternis {

class FrameAssembler {
 public:
  // Feeds bytes in arrival order; calls on_frame(std::span<const uint8_t>)
  // for each complete body. The span is valid only during the call.
  template <typename OnFrame>
  void Feed(std::span<const std::uint8_t> bytes, OnFrame&& on_frame) {
    for (std::uint8_t b : bytes) {
      if (!in_frame_) {
        if (b == kStx) Open();
        continue;  // noise outside a frame is dropped
      }
      if (b == kEtx && EndsFrame()) {
        TERNIS_TRACE(" : ETX\n");
        on_frame(std::span<const std::uint8_t>(body_.data(), count_));
        in_frame_ = false;
        count_ = 0;
        continue;
      }
      Store(b);
    }
  }

  // Forgets a half-received frame, as at the start of a new receive thread.
  void Reset() {
    in_frame_ = false;
    count_ = 0;
    body_[0] = 0;
  }

  bool in_frame() const { return in_frame_; }
  std::size_t count() const { return count_; }
  // Frames dropped because their body grew past kMaxBodyLength.
  std::uint64_t dropped_frames() const { return dropped_frames_; }

 private:
  void Open() {
    TERNIS_TRACE("STX : ");
    in_frame_ = true;
    count_ = 0;
  }

  bool EndsFrame() const {
    if (count_ == 0) return false;
    if (body_[0] == STB_DATA_REQ && count_ < kDataRequestBodyLength) {
      TERNIS_TRACE("Frag ");
      return false;
    }
    return true;
  }

  void Store(std::uint8_t b) {
    if (count_ == kMaxBodyLength) {
      // No valid body comes near this length: the frame is garbage (or we
      // joined mid-stream). Drop it and wait for the next STX.
      ++dropped_frames_;
      in_frame_ = false;
      count_ = 0;
      return;
    }
    TERNIS_TRACE("%02x ", b);
    body_[count_++] = b;
    body_[count_] = 0;
  }

  bool in_frame_ = false;
  std::size_t count_ = 0;
  std::uint64_t dropped_frames_ = 0;
  std::array<std::uint8_t, kMaxBodyLength + 1> body_{};  // body plus a zero byte
};

}  // namespace ternis
