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

// The kinds in the order their buttons stand, with each button's caption
// and the name its path is kept under in the settings file.
struct FileKindEntry {
  std::uint32_t kind;
  const char* caption;
  const char* setting;
};
inline constexpr FileKindEntry kFileKinds[4] = {{M_KEY_FILE, "M.Key", "M_KEY"},
                                                {D_KEY_FILE, "D.key", "D_KEY"},
                                                {C_KEY_FILE, "C.key", "C_KEY"},
                                                {FIRMWARE_FILE, "Firmware", "Firmware"}};

// A key file (M, D or C) is a secret: kept out of core dumps and swap.
constexpr bool IsKeyKind(std::uint32_t kind) {
  return kind == M_KEY_FILE || kind == D_KEY_FILE || kind == C_KEY_FILE;
}

}  // namespace ternis
