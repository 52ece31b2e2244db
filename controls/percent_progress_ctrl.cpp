#include "controls/percent_progress_ctrl.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

namespace ternis {

PercentProgressCtrl::PercentProgressCtrl(QWidget* parent) : QWidget(parent) {
  // Everything is painted here; Qt's backing store already double-buffers.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void PercentProgressCtrl::SetRange32(int lower, int upper) {
  lower_ = lower;
  upper_ = upper;
}

// In double throughout: position and bounds may be anywhere in int's range.
double PercentProgressCtrl::Fraction() const {
  return (static_cast<double>(pos_) - lower_) / (static_cast<double>(upper_) - lower_);
}

// The filled length, truncated toward zero and kept within the bar before it
// becomes an int: a position far past the range fills the bar, never wraps.
int PercentProgressCtrl::FilledPixels(int length) const {
  const double pixels = std::clamp(length * Fraction(), 0.0, static_cast<double>(length));
  return static_cast<int>(std::trunc(pixels));
}

int PercentProgressCtrl::SetPos(int pos) {
  const int previous = std::exchange(pos_, pos);
  // The client width decides, in either orientation.
  const int filled = upper_ > lower_ ? FilledPixels(width()) : 0;
  if (filled != last_filled_pixels_) {
    last_filled_pixels_ = filled;
    if (paint_deferred_) {
      update();
    } else {
      repaint();
    }
  }
  return previous;
}

Colorref PercentProgressCtrl::SetColor(Colorref& slot, Colorref color) {
  update();
  return std::exchange(slot, color);
}

Colorref PercentProgressCtrl::SetBarColor(Colorref color) {
  return SetColor(bar_color_, color);
}
Colorref PercentProgressCtrl::SetBkColor(Colorref color) {
  return SetColor(bk_color_, color);
}
Colorref PercentProgressCtrl::SetTextColor(Colorref color) {
  return SetColor(text_color_, color);
}

void PercentProgressCtrl::SetText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  update();
}

void PercentProgressCtrl::ShowText(bool show) {
  if (show != show_text_) update();
  show_text_ = show;
}

bool PercentProgressCtrl::SetTextAlignment(int alignment, bool redraw) {
  static constexpr Qt::Alignment kAlignments[] = {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignRight};
  if (alignment < 0 || alignment > 2) return false;
  alignment_ = kAlignments[alignment];
  if (redraw) update();
  return true;
}

void PercentProgressCtrl::SetOrientation(Qt::Orientation orientation) {
  orientation_ = orientation;
  update();
}

QString PercentProgressCtrl::DisplayText() const {
  if (!text_.isEmpty()) return text_;
  if (upper_ <= lower_) return QString();
  // Up to about 4e11 % for positions far past a short range: wider than int.
  return QStringLiteral("%1%").arg(static_cast<qlonglong>(std::trunc(Fraction() * 100.0)));
}

void PercentProgressCtrl::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  last_filled_pixels_ = -1;  // the next position change always repaints
}

void PercentProgressCtrl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QColor bar = Resolve(bar_color_, palette().color(QPalette::Highlight));
  const QColor background = Resolve(bk_color_, palette().color(QPalette::Base));
  if (upper_ <= lower_) {  // an empty or inverted range paints nothing of its own
    painter.fillRect(rect(), background);
    return;
  }
  const QRect client = rect();
  QRect filled, empty;
  if (orientation_ == Qt::Horizontal) {
    const int edge = std::clamp(FilledPixels(client.width()), 0, client.width());
    filled = QRect(0, 0, edge, client.height());
    empty = QRect(edge, 0, client.width() - edge, client.height());
  } else {  // fills from the bottom up
    const int edge = std::clamp(FilledPixels(client.height()), 0, client.height());
    filled = QRect(0, client.height() - edge, client.width(), edge);
    empty = QRect(0, 0, client.width(), client.height() - edge);
  }
  painter.fillRect(filled, bar);
  painter.fillRect(empty, background);
  if (!show_text_ || orientation_ != Qt::Horizontal) return;

  const QString text = DisplayText();
  const int flags = static_cast<int>(alignment_ | Qt::AlignVCenter) | Qt::TextSingleLine;
  painter.setFont(parentWidget() ? parentWidget()->font() : font());
  painter.setClipRect(filled);
  painter.setPen(Resolve(text_color_, background));
  painter.drawText(client, flags, text);
  painter.setClipRect(empty);
  painter.setPen(Resolve(text_color_, bar));
  painter.drawText(client, flags, text);
}

}  // namespace ternis
