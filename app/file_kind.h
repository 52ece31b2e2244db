#pragma once
// The value of the FILE_MASK setting: which of the four files is current.

#include <cstdint>

namespace ternis {

enum FileKind : std::uint32_t {
  M_KEY_FILE = 1,
  D_KEY_FILE = 16,
  C_KEY_FILE = 256,
  FIRMWARE_FILE = 4096,
};

}  // namespace ternis
