#pragma once
// Line settings as the settings store and the COM port panel code them, and
// their translation to the kernel's termios2. The translation lives in
// line_settings.cpp, which alone includes <asm/termbits.h> (it clashes with
// glibc's <termios.h>), so any baud rate can be set with BOTHER.

#include <array>
#include <cstdint>
#include <optional>

namespace ternis {

enum Parity : std::uint8_t {
  kParityNone = 0,
  kParityOdd = 1,
  kParityEven = 2,
  kParityMark = 3,
  kParitySpace = 4
};
enum StopBits : std::uint8_t { kStopOne = 0, kStopOneAndHalf = 1, kStopTwo = 2 };

// The baud rates the windows offer, slowest first.
inline constexpr std::array<std::uint32_t, 15> kBaudRates = {
    110,   300,   600,   1200,  2400,   4800,   9600,  14400,
    19200, 38400, 56000, 57600, 115200, 128000, 256000};

struct LineSettings {
  std::uint32_t baud = 115200;
  std::uint8_t data_bits = 8;
  std::uint8_t parity = kParityNone;
  std::uint8_t stop_bits = kStopOne;

  bool operator==(const LineSettings&) const = default;
};

// 0 when the port can honour the settings, else EINVAL. Refused: baud 0
// (on POSIX it means hang up), data bits outside 5..8, 1.5 stop bits
// (termios cannot express it), unknown parity or stop codes.
int ValidateLineSettings(const LineSettings& settings);

// Raw mode, no flow control, CLOCAL | CREAD, the given framing and any baud
// rate. Returns 0 or an errno value; the port keeps its old settings on
// failure. Refuses what a driver silently drops and the box would notice:
// a rate it would not take, mark/space parity without CMSPAR support.
// (Pseudo-terminals force 8 bits without parity; they have no wire.)
int ApplyLineSettings(int fd, const LineSettings& settings);

// The termios c_cflag framing bits (size, parity, stop) for the settings,
// and back: the pure part of ApplyLineSettings and ReadLineSettings. Data
// bits outside 5..8 leave the size bits of `cflag` as they are.
unsigned FramingFlags(unsigned cflag, const LineSettings& settings);
LineSettings SettingsFromFlags(unsigned cflag, std::uint32_t baud);

// What the port is set to now, or nothing if it is not a terminal.
std::optional<LineSettings> ReadLineSettings(int fd);

// The whole kernel line state, to put back when the port is released.
class SavedLineState {
 public:
  // Saves the state of fd; false (errno set) if it is not a terminal.
  bool Save(int fd);
  void Restore(int fd) const;

 private:
  alignas(8) unsigned char raw_[64] = {};
  bool saved_ = false;
};

}  // namespace ternis
