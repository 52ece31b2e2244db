#include "controls/skin_button.h"

#include <QtWidgets/qdrawutil.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>

#include "controls/skin.h"

namespace ternis {

namespace {

constexpr QRgb kMaskKey = 0xFFFFFF;  // white: outside the outline

}  // namespace

SkinButton::SkinButton(Kind kind, QWidget* parent)
    : QAbstractButton(parent),
      kind_(kind),
      text_color_(ToColorref(palette().color(QPalette::ButtonText))) {
  setMouseTracking(true);  // hover starts with the first move after a press
}

SkinButton::Kind SkinButton::KindFromStyle(quint32 style) {
  if ((style & 0x3) == 0x3) return Kind::Toggle;
  if ((style & 0x9) == 0x9) return Kind::Radio;
  return Kind::Push;
}

void SkinButton::SetBitmaps(int normalId, int pressedId, int hoverId, int disabledId, int focusId,
                            int maskId, qint16 drawMode, qint16 border, qint16 textInset) {
  // Without a disabled id the normal bitmap serves when disabled; a disabled
  // id that does not load leaves the slot empty (the button face shows).
  const int disabled = disabledId != 0 ? disabledId : normalId;
  Bitmaps bitmaps{skin::LoadBitmap(normalId), skin::LoadBitmap(pressedId),
                  skin::LoadBitmap(hoverId),  skin::LoadBitmap(disabled),
                  skin::LoadBitmap(focusId),  skin::LoadBitmap(maskId)};
  SetBitmaps(std::move(bitmaps), maskId != 0, drawMode, border, textInset);
}

void SkinButton::SetBitmaps(Bitmaps bitmaps, bool has_mask, qint16 drawMode, qint16 border,
                            qint16 textInset) {
  bitmaps_ = std::move(bitmaps);
  draw_mode_ = static_cast<DrawMode>(std::clamp<int>(drawMode, Plain, Tile));
  border_ = border != 0;
  text_inset_ = std::max<qint16>(textInset, 0);
  if (!bitmaps_.mask.isNull() && draw_mode_ != Tile) {  // composed once, not per paint
    for (QPixmap* bitmap : {&bitmaps_.normal, &bitmaps_.pressed, &bitmaps_.hover,
                            &bitmaps_.disabled, &bitmaps_.focus}) {
      if (!bitmap->isNull()) *bitmap = Masked(*bitmap);
    }
  }
  // Without a new mask the outline in force stays (only the mask bitmap goes).
  if (has_mask && !bitmaps_.mask.isNull()) {
    ApplyMask(bitmaps_.mask.toImage());
    if (draw_mode_ == Plain) resize(bitmaps_.mask.size());
  }
}

void SkinButton::ApplyMask(const QImage& mask) {
  const QRegion region = BuildRegionFromMask(mask);
  fully_masked_ = region.isEmpty();
  // QWidget treats an empty mask as none, so "nothing left" is our own flag.
  if (fully_masked_) {
    clearMask();
  } else {
    setMask(region);
  }
  update();
}

std::vector<QRect> SkinButton::MaskRectangles(const QImage& mask) {
  std::vector<QRect> rects;
  const QImage image = mask.convertToFormat(QImage::Format_RGB32);
  for (int y = image.height() - 1; y >= 0; --y) {
    const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width();) {
      if ((row[x] & 0xFFFFFF) == kMaskKey) {
        ++x;
        continue;
      }
      const int start = x;
      while (x < image.width() && (row[x] & 0xFFFFFF) != kMaskKey) ++x;
      rects.emplace_back(QPoint(start, y), QPoint(x - 1, y));  // inclusive corners
    }
  }
  return rects;
}

QRegion SkinButton::BuildRegionFromMask(const QImage& mask) {
  QRegion region;
  if (mask.isNull()) return region;
  for (const QRect& rect : MaskRectangles(mask)) region += rect;
  return region;
}

Colorref SkinButton::SetTextColor(Colorref color) {
  return std::exchange(text_color_, color);
}

void SkinButton::SetCheck(int state) {
  checked_ = state != 0;
  if (kind_ == Kind::Push) checked_ = false;
  if (kind_ == Kind::Radio && checked_) UncheckOthersInGroup();
  update();
}

void SkinButton::UncheckOthersInGroup() {
  QWidget* parent = parentWidget();
  if (!parent) return;
  for (SkinButton* other : parent->findChildren<SkinButton*>(Qt::FindDirectChildrenOnly)) {
    if (other != this && other->kind_ == Kind::Radio && other->group_ == group_)
      QCoreApplication::postEvent(other, new QEvent(kUncheckEvent));
  }
}

void SkinButton::customEvent(QEvent* event) {
  if (event->type() == kUncheckEvent && checked_) {
    checked_ = false;
    update();
  }
  QAbstractButton::customEvent(event);
}

bool SkinButton::hitButton(const QPoint& pos) const {
  if (fully_masked_) return false;
  return mask().isEmpty() ? rect().contains(pos) : mask().contains(pos);
}

void SkinButton::enterEvent(QEnterEvent* event) {
  if (!(QGuiApplication::mouseButtons() & Qt::LeftButton)) {
    hovering_ = true;
    update();
  }
  QAbstractButton::enterEvent(event);
}

void SkinButton::leaveEvent(QEvent* event) {
  hovering_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

void SkinButton::mouseMoveEvent(QMouseEvent* event) {
  if (!hovering_ && !(event->buttons() & Qt::LeftButton) &&
      rect().contains(event->position().toPoint())) {
    hovering_ = true;
    update();
  }
  QAbstractButton::mouseMoveEvent(event);  // pushed look follows the pointer while pressed
}

void SkinButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) hovering_ = false;  // a pressed button never hovers
  QAbstractButton::mousePressEvent(event);
}

void SkinButton::mouseReleaseEvent(QMouseEvent* event) {
  // The check changes before the click is reported, so the owner sees it.
  if (event->button() == Qt::LeftButton && kind_ != Kind::Push &&
      hitButton(event->position().toPoint())) {
    SetCheck(kind_ == Kind::Toggle ? !checked_ : 1);
  }
  QAbstractButton::mouseReleaseEvent(event);
}

void SkinButton::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space && kind_ != Kind::Push)  // auto-repeats included
    SetCheck(kind_ == Kind::Toggle ? !checked_ : 1);
  QAbstractButton::keyPressEvent(event);
}

const QPixmap* SkinButton::EnabledFace() const {
  if (bitmaps_.normal.isNull()) return nullptr;  // button face, no other bitmap tried
  if (hovering_ && !bitmaps_.hover.isNull()) return &bitmaps_.hover;
  if (hasFocus() && !bitmaps_.focus.isNull()) return &bitmaps_.focus;
  return &bitmaps_.normal;
}

void SkinButton::paintEvent(QPaintEvent*) {
  if (fully_masked_) return;
  QPainter painter(this);
  const QRect text_rect = rect().adjusted(text_inset_ + 2, 0, -(text_inset_ + 2), 0);
  const QPalette& pal = palette();
  const auto face = [&](const QPixmap* bitmap) {
    if (bitmap && !bitmap->isNull()) {
      DrawBitmap(painter, *bitmap);
    } else {
      painter.fillRect(rect(), pal.color(QPalette::Button));
    }
  };
  const auto edge = [&](bool sunken) {
    if (border_) qDrawShadePanel(&painter, rect(), pal, sunken, 2);
  };

  if (!isEnabled()) {
    // A chosen button stays visibly chosen while it cannot be changed.
    face(checked_ ? &bitmaps_.pressed : &bitmaps_.disabled);
    edge(checked_);
    DrawCaption(painter, text_rect, pal.color(QPalette::Light));  // embossed
    DrawCaption(painter, text_rect.translated(-1, -1),
                pal.color(QPalette::Disabled, QPalette::WindowText));
  } else if (isDown() || checked_) {
    face(&bitmaps_.pressed);
    edge(true);
    DrawCaption(painter, text_rect.translated(1, 1), ToQColor(text_color_));
  } else {
    face(EnabledFace());
    edge(false);
    DrawCaption(painter, text_rect, ToQColor(text_color_));
  }
}

void SkinButton::DrawCaption(QPainter& painter, QRect rect, const QColor& color) const {
  if (text().isEmpty()) return;
  painter.setPen(color);
  painter.drawText(rect, Qt::AlignCenter | Qt::TextSingleLine, text());
}

void SkinButton::DrawBitmap(QPainter& painter, const QPixmap& bitmap) const {
  switch (draw_mode_) {
    case Tile:  // from the top-left corner, the last tiles cut; the mask is not used
      painter.drawTiledPixmap(rect(), bitmap);
      break;
    case Plain:  // natural size from the top-left corner: cropped, never scaled
      painter.drawPixmap(QPoint(0, 0), bitmap, QRect(QPoint(0, 0), size()));
      break;
    case Stretch:
      painter.drawPixmap(rect(), bitmap);
      break;
  }
}

// Where the mask is black the image shows; where it is white, what lies
// beneath stays. Grey levels blend in between. Stretch scales the mask to
// the image, as both are then scaled to the button; Plain places both at
// their natural size from the top-left corner, so the mask is taken as it is
// and the image beyond it shows nothing.
QPixmap SkinButton::Masked(const QPixmap& bitmap) const {
  QImage image = bitmap.toImage().convertToFormat(QImage::Format_ARGB32);
  QImage mask = bitmaps_.mask.toImage();
  if (draw_mode_ == Stretch) mask = mask.scaled(image.size());
  mask = mask.convertToFormat(QImage::Format_RGB32);
  for (int y = 0; y < image.height(); ++y) {
    auto* pixels = reinterpret_cast<QRgb*>(image.scanLine(y));
    const auto* keys =
        y < mask.height() ? reinterpret_cast<const QRgb*>(mask.constScanLine(y)) : nullptr;
    for (int x = 0; x < image.width(); ++x) {
      const int alpha = keys && x < mask.width() ? 255 - qGray(keys[x]) : 0;
      pixels[x] = (pixels[x] & 0x00FFFFFF) | static_cast<QRgb>(alpha) << 24;
    }
  }
  return QPixmap::fromImage(image);
}

}  // namespace ternis
