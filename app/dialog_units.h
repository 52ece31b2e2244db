#pragma once
// Classic dialog units for Verdana 8 pt at 96 dpi (average character 7 x 13
// pixels): x = du * 7 / 4, y = du * 13 / 8.

#include <QRect>

namespace ternis {

constexpr int DuToPixelsX(int du) {
  return du * 7 / 4;
}
constexpr int DuToPixelsY(int du) {
  return du * 13 / 8;
}

inline QRect DuRect(int x, int y, int w, int h) {
  return QRect(DuToPixelsX(x), DuToPixelsY(y), DuToPixelsX(w), DuToPixelsY(h));
}

}  // namespace ternis
