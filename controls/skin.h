#pragma once
// The skin's resources by their numeric ids, as the window refers to them.
// The images are drawn by res/draw_skin.py and compiled in (res/skin.qrc).

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace ternis::skin {

enum BitmapId : int {
  IDB_BACKGROUND = 157,        // 445 x 392: the main window
  IDB_MINIMISE_PRESSED = 158,  // 16 x 16
  IDB_CLOSE_HOVER = 159,
  IDB_CLOSE_NORMAL = 160,
  IDB_CLOSE_PRESSED = 161,
  IDB_MINIMISE_HOVER = 162,
  IDB_MINIMISE_NORMAL = 163,
  IDB_KIND_HOVER = 165,    // 90 x 25: grey tick
  IDB_KIND_PRESSED = 166,  // green tick: pressed or checked
  IDB_KIND_NORMAL = 167,   // light grey tick
  IDB_BUSY = 168,          // 256 x 30: "On Writing, Please Wait"
};

inline constexpr int IDI_MAIN = 128;
inline constexpr int IDS_VERSION = 102;

// The bitmap of that id; a null pixmap for 0 or an unknown id.
QPixmap LoadBitmap(int id);
// Icon 128 at every size it is drawn in.
QIcon AppIcon();
// String 102.
inline QString VersionText() {
  return QStringLiteral("Ver1.2");
}

}  // namespace ternis::skin
