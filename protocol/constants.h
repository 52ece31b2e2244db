#pragma once
// The wire format's message types and fixed sizes.

#include <cstddef>
#include <cstdint>

namespace ternis {

// Message types of the bodies the box sends.
enum StbMessageType : std::uint8_t {
  STB_START = 0x01,
  STB_DATA_REQ = 0x02,
  STB_TIME_REQ = 0x03,
};

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;

inline constexpr std::size_t kDataRequestBodyLength = 7;
inline constexpr std::size_t kMaxBodyLength = 107;      // body buffer is 108 with its zero byte
inline constexpr std::size_t kReadChunk = 10239;        // largest single read from the port
inline constexpr std::size_t kWriteChunk = 4095;        // largest single write to the port
inline constexpr std::size_t kFrameBufferSize = 10240;  // SendFrame's buffer
inline constexpr std::size_t kStatusTextSize = 1024;    // status texts, terminator included

}  // namespace ternis
