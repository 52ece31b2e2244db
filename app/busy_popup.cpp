#include "app/busy_popup.h"

#include "controls/skin.h"

namespace ternis {

void BusyPopup::Create(QWidget* owner, int bitmap_id) {
  owner_ = owner;
  window_ = new QLabel(owner, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
  window_->setAttribute(Qt::WA_ShowWithoutActivating);
  window_->setFrameStyle(QFrame::Panel | QFrame::Sunken);  // the classic client edge
  window_->setPixmap(skin::LoadBitmap(bitmap_id));
  window_->adjustSize();
  window_->hide();
  visible_ = false;
}

void BusyPopup::Show() {
  if (!window_) return;
  const QRect owner = owner_->frameGeometry();
  const QSize size = window_->size();
  window_->move(owner.left() + owner.width() / 2 - size.width() / 2,
                owner.top() + owner.height() / 2 - size.height() / 2);
  window_->show();
  window_->repaint();
  visible_ = true;
}

void BusyPopup::Hide() {
  if (window_) window_->hide();
  visible_ = false;
}

}  // namespace ternis
