#include "link/line_settings.h"

// Kernel termios2 only: never mix with glibc's <termios.h> here.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace ternis {

static_assert(sizeof(struct termios2) <= 64, "SavedLineState buffer too small");

namespace {

void SetRaw(struct termios2& t) {
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK | IGNPAR);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | HUPCL);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

// Sizes outside 5..8 leave the size as it was (they are refused before this).
void SetDataBits(struct termios2& t, std::uint8_t bits) {
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (bits < 5 || bits > 8) return;
  t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | kSizes[bits - 5];
}

void SetParity(struct termios2& t, std::uint8_t parity) {
  t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
  switch (parity) {
    case kParityOdd:
      t.c_cflag |= PARENB | PARODD;
      break;
    case kParityEven:
      t.c_cflag |= PARENB;
      break;
    case kParityMark:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case kParitySpace:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
}

void SetStopBits(struct termios2& t, std::uint8_t stop) {
  if (stop == kStopTwo) {
    t.c_cflag |= CSTOPB;
  } else {
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  }
}

void SetBaud(struct termios2& t, std::uint32_t baud) {
  t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT))) | BOTHER |
              (BOTHER << IBSHIFT);
  t.c_ispeed = baud;
  t.c_ospeed = baud;
}

std::uint8_t DataBitsOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

std::uint8_t ParityOf(tcflag_t cflag) {
  if (!(cflag & PARENB)) return kParityNone;
  const bool odd = cflag & PARODD;
  if (cflag & CMSPAR) return odd ? kParityMark : kParitySpace;
  return odd ? kParityOdd : kParityEven;
}

int Get(int fd, struct termios2& t) {
  return ::ioctl(fd, TCGETS2, &t) == 0 ? 0 : errno;
}

}  // namespace

int ValidateLineSettings(const LineSettings& s) {
  if (s.baud == 0) return EINVAL;
  if (s.data_bits < 5 || s.data_bits > 8) return EINVAL;
  if (s.parity > kParitySpace) return EINVAL;
  if (s.stop_bits != kStopOne && s.stop_bits != kStopTwo) return EINVAL;
  return 0;
}

int ApplyLineSettings(int fd, const LineSettings& settings) {
  if (const int error = ValidateLineSettings(settings)) return error;
  struct termios2 old {};
  if (const int error = Get(fd, old)) return error;
  struct termios2 t = old;
  SetRaw(t);
  t.c_cflag = FramingFlags(t.c_cflag, settings);
  SetBaud(t, settings.baud);
  if (::ioctl(fd, TCSETS2, &t) != 0) return errno;

  struct termios2 applied {};
  const bool mark_or_space = settings.parity == kParityMark || settings.parity == kParitySpace;
  if (Get(fd, applied) == 0 && applied.c_ospeed == settings.baud &&
      (!mark_or_space || (applied.c_cflag & CMSPAR))) {
    return 0;
  }
  (void)::ioctl(fd, TCSETS2, &old);
  return EINVAL;
}

unsigned FramingFlags(unsigned cflag, const LineSettings& settings) {
  struct termios2 t {};
  t.c_cflag = cflag;
  SetDataBits(t, settings.data_bits);
  SetParity(t, settings.parity);
  SetStopBits(t, settings.stop_bits);
  return t.c_cflag;
}

LineSettings SettingsFromFlags(unsigned cflag, std::uint32_t baud) {
  return LineSettings{baud, DataBitsOf(cflag), ParityOf(cflag),
                      static_cast<std::uint8_t>((cflag & CSTOPB) ? kStopTwo : kStopOne)};
}

std::optional<LineSettings> ReadLineSettings(int fd) {
  struct termios2 t {};
  if (Get(fd, t) != 0) return std::nullopt;
  return SettingsFromFlags(t.c_cflag, t.c_ospeed);
}

bool SavedLineState::Save(int fd) {
  struct termios2 t {};
  if (const int error = Get(fd, t)) {
    errno = error;
    return saved_ = false;
  }
  std::memcpy(raw_, &t, sizeof t);
  return saved_ = true;
}

void SavedLineState::Restore(int fd) const {
  if (!saved_) return;
  struct termios2 t {};
  std::memcpy(&t, raw_, sizeof t);
  (void)::ioctl(fd, TCSETS2, &t);
}

}  // namespace ternis
