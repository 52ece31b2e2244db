#include "controls/skin.h"

static void InitSkinResources() {
  Q_INIT_RESOURCE(skin);
}

namespace ternis::skin {

namespace {
void EnsureResources() {
  static const bool kLoaded = (InitSkinResources(), true);
  (void)kLoaded;
}
}  // namespace

QPixmap LoadBitmap(int id) {
  EnsureResources();
  if (id <= 0) return {};
  return QPixmap(QStringLiteral(":/skin/%1.png").arg(id));
}

QIcon AppIcon() {
  EnsureResources();
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256})
    icon.addFile(QStringLiteral(":/skin/%1-%2.png").arg(IDI_MAIN).arg(size), QSize(size, size));
  return icon;
}

}  // namespace ternis::skin
