#pragma once
// The skin's panel and ink colours, so the lines the window adds sit in the art.

#include "app/window_texts.h"
#include "controls/colorref.h"

namespace ternis {

inline constexpr Colorref kPanel = Rgb(238, 242, 248);
inline constexpr Colorref kInk = Rgb(40, 52, 74);
inline constexpr Colorref kGood = Rgb(24, 128, 56);
inline constexpr Colorref kBad = Rgb(196, 32, 32);

constexpr Colorref ColourOf(Tone tone) {
  switch (tone) {
    case Tone::kGood:
      return kGood;
    case Tone::kBad:
      return kBad;
    case Tone::kPlain:
      break;
  }
  return kInk;
}

}  // namespace ternis
