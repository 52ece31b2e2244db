#pragma once
// Numbers shared by the core, the window and the tools: the main window's
// private messages, the file kinds, and the wire format's fixed sizes.

#include <cstddef>
#include <cstdint>

namespace ternis {

// Private messages to the main window. The numbers are WM_USER (0x400) based
// and stay as they always were, so traces and tools agree on them.
enum SmMessage : std::uint32_t {
  SM_PROGRESS = 1054,           // posted: wParam range top (100), lParam percent
  SM_STATUS_TEXT = 1055,        // posted with its own copy: lParam points to the text
  SM_GET_DATE = 1056,           // posted: the box asked for the time (date part)
  SM_GET_TIME = 1057,           // posted: the box asked for the time (time part)
  SM_STB_START = 1058,          // posted: a boot-up frame arrived
  SM_STB_START_DONE = 1059,     // posted: boot-up handled
  SM_STB_TIME_REQ = 1060,       // posted: a time request arrived
  SM_STB_DATA_REQ = 1061,       // posted: a data request arrived
  SM_NOTIFY_ERROR_CODE = 1124,  // posted with its own copy: wParam text length, lParam text
};

// The value of the FILE_MASK setting: which of the four files is current.
enum FileKind : std::uint32_t {
  M_KEY_FILE = 1,
  D_KEY_FILE = 16,
  C_KEY_FILE = 256,
  FIRMWARE_FILE = 4096,
};

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
