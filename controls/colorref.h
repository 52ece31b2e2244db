#pragma once
// Colours as the skin's callers pass them: 32-bit 0x00BBGGRR (red in the
// low byte), with CLR_DEFAULT asking for the automatic colour.

#include <QColor>
#include <cstdint>

namespace ternis {

using Colorref = std::uint32_t;
inline constexpr Colorref CLR_DEFAULT = 0xFF000000u;

constexpr Colorref Rgb(int r, int g, int b) {
  return static_cast<Colorref>((r & 0xFF) | (g & 0xFF) << 8 | (b & 0xFF) << 16);
}

inline QColor ToQColor(Colorref c) {
  return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                static_cast<int>((c >> 16) & 0xFF));
}

inline Colorref ToColorref(const QColor& c) {
  return Rgb(c.red(), c.green(), c.blue());
}

// The colour to draw with: `c`, or `automatic` when c is CLR_DEFAULT.
inline QColor Resolve(Colorref c, const QColor& automatic) {
  return c == CLR_DEFAULT ? automatic : ToQColor(c);
}

}  // namespace ternis
