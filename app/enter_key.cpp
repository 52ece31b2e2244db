#include "app/enter_key.h"

#include <QKeyEvent>
#include <QPushButton>

#include "controls/skin_button.h"

namespace ternis {

bool IsEnterKey(const QKeyEvent* event) {
  return event->key() == Qt::Key_Enter || event->key() == Qt::Key_Return;
}

// Check boxes and radio buttons, push-like or skinned, do not take Enter.
bool ClickFocusedPushButton(QWidget* focus) {
  QAbstractButton* button = nullptr;
  if (auto* skin = qobject_cast<SkinButton*>(focus); skin && skin->kind() == SkinButton::Kind::Push)
    button = skin;
  if (auto* push = qobject_cast<QPushButton*>(focus); push && !push->isCheckable()) button = push;
  if (!button || !button->isEnabled()) return false;
  button->click();
  return true;
}

}  // namespace ternis
