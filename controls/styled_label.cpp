#include "controls/styled_label.h"

#include <QtWidgets/qdrawutil.h>

#include <QDesktopServices>
#include <QMouseEvent>
#include <QPainter>

namespace ternis {

namespace {

StyledLabel::UrlOpener& Opener() {
  static StyledLabel::UrlOpener opener = [](const QUrl& url) {
    return QDesktopServices::openUrl(url);
  };
  return opener;
}

Qt::Alignment ToQtFlags(int dt) {
  Qt::Alignment flags = Qt::AlignLeft;
  if (dt & StyledLabel::DT_CENTER) flags = Qt::AlignHCenter;
  if (dt & StyledLabel::DT_RIGHT) flags = Qt::AlignRight;
  // Vertical centring takes effect only on a single line, as ever.
  flags |= (dt & StyledLabel::DT_VCENTER) && (dt & StyledLabel::DT_SINGLELINE) ? Qt::AlignVCenter
                                                                               : Qt::AlignTop;
  return flags;
}

int ToQtTextFlags(int dt) {
  int flags = static_cast<int>(ToQtFlags(dt));
  if (dt & StyledLabel::DT_WORDBREAK) flags |= Qt::TextWordWrap;
  if (dt & StyledLabel::DT_SINGLELINE) flags |= Qt::TextSingleLine;
  if (dt & StyledLabel::DT_EXPANDTABS) flags |= Qt::TextExpandTabs;
  return flags;
}

}  // namespace

StyledLabel::StyledLabel(QWidget* parent, quint32 style)
    : QFrame(parent),
      style_(style),
      font_(font()),  // the control's own font, captured when attached
      text_color_(ToColorref(palette().color(QPalette::WindowText))) {
  blink_timer_.setInterval(500);
  connect(&blink_timer_, &QTimer::timeout, this, &StyledLabel::OnBlinkTick);
}

void StyledLabel::SetUrlOpener(UrlOpener opener) {
  Opener() = std::move(opener);
}

void StyledLabel::setStaticStyle(quint32 style) {
  style_ = style;
  update();
}

void StyledLabel::Repaint() {
  // With the parent's background showing through, Qt repaints the parent
  // beneath us as part of this.
  repaint();
}

StyledLabel& StyledLabel::SetBackground(Colorref background, Colorref end, bool gradient) {
  background_ = background;
  end_color_ = end;
  gradient_ = gradient;
  has_custom_brush_ = !gradient;
  Repaint();
  return *this;
}

StyledLabel& StyledLabel::SetForeColor(Colorref color) {
  text_color_ = color;
  Repaint();
  return *this;
}

StyledLabel& StyledLabel::SetLabelText(const QString& text) {
  text_ = text;
  Repaint();
  return *this;
}

StyledLabel& StyledLabel::SetBold(bool bold) {
  font_.setWeight(bold ? QFont::Bold : QFont::Normal);
  Repaint();
  return *this;
}

StyledLabel& StyledLabel::SetFaceName(const QString& face) {
  font_.setFamily(face.left(31));  // the classic face name holds 31 characters
  Repaint();
  return *this;
}

StyledLabel& StyledLabel::SetUnderline(bool underline) {
  font_.setUnderline(underline);
  Repaint();
  return *this;
}

StyledLabel& StyledLabel::SetItalic(bool italic) {
  font_.setItalic(italic);
  Repaint();
  return *this;
}

StyledLabel& StyledLabel::SetPointSize(int points) {
  if (points > 0) font_.setPointSize(points);
  Repaint();
  return *this;
}

StyledLabel& StyledLabel::SetStaticEdge(bool on) {
  static_edge_ = on;
  UpdateFrame();
  return *this;
}

StyledLabel& StyledLabel::ShowBorder(bool on) {
  border_ = on;
  UpdateFrame();
  return *this;
}

void StyledLabel::UpdateFrame() {
  const int width = (border_ ? 1 : 0) + (static_edge_ ? 1 : 0);
  setContentsMargins(width, width, width, width);
  update();
}

// The border outside, the sunken edge inside it.
void StyledLabel::PaintFrame(QPainter& painter) {
  QRect outline = rect();
  if (border_) {
    painter.setPen(palette().color(QPalette::Shadow));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(outline.adjusted(0, 0, -1, -1));
    outline.adjust(1, 1, -1, -1);
  }
  if (static_edge_) qDrawShadePanel(&painter, outline, palette(), true, 1);
}

StyledLabel& StyledLabel::UseParentBackground(bool on) {
  parent_background_ = on;
  Repaint();
  return *this;
}

void StyledLabel::StartBlink(bool on) {
  blink_timer_.stop();
  if (on) {
    blink_phase_ = 0;
    blink_timer_.start();
  }
}

StyledLabel& StyledLabel::BlinkText(bool on) {
  StartBlink(on);
  blink_kind_ = on ? kBlinkText : kNoBlink;
  return *this;
}

StyledLabel& StyledLabel::BlinkBackground(bool on) {
  StartBlink(on);
  if (on) blink_kind_ = kBlinkBackground;
  return *this;
}

void StyledLabel::OnBlinkTick() {
  blink_phase_ = blink_phase_ == 0 ? 1 : 0;
  Repaint();
}

StyledLabel& StyledLabel::EnableWebLink(bool on, bool notify_parent) {
  link_kind_ = on ? kWebLink : kNoLink;
  notify_parent_ = notify_parent;
  UpdateCursor();
  return *this;
}

StyledLabel& StyledLabel::EnableMailLink(bool on, bool notify_parent) {
  link_kind_ = on ? kMailLink : kNoLink;
  notify_parent_ = notify_parent;
  UpdateCursor();
  return *this;
}

StyledLabel& StyledLabel::SetHoverCursor(const QCursor& cursor) {
  hover_cursor_ = cursor;
  UpdateCursor();
  return *this;
}

// A label without a link takes no notice of the mouse, cursor included.
void StyledLabel::UpdateCursor() {
  if (hover_cursor_ && link_kind_ != kNoLink) {
    setCursor(*hover_cursor_);
  } else {
    unsetCursor();
  }
}

StyledLabel& StyledLabel::SetEmboss(bool on, bool down_right) {
  emboss_ = on;
  emboss_down_right_ = down_right;
  Repaint();
  return *this;
}

StyledLabel& StyledLabel::SetTextAngle(int degrees, bool from_centre) {
  angle_degrees_ = degrees;
  from_centre_ = from_centre;
  Repaint();
  return *this;
}

StyledLabel& StyledLabel::SetEmbossColor(Colorref color) {
  emboss_color_ = color;
  Repaint();
  return *this;
}

StyledLabel& StyledLabel::SetLogFont(const QFont& font) {
  font_ = font;
  Repaint();
  return *this;
}

StyledLabel& StyledLabel::SetLinkTarget(const QString& target) {
  link_target_ = target;
  return *this;
}

int StyledLabel::TextLayoutFlags(quint32 style, const QString& text) {
  int flags;
  switch (style & 0x1F) {
    case SS_CENTER:
      flags = DT_CENTER | DT_WORDBREAK;
      break;
    case SS_RIGHT:
      flags = DT_RIGHT | DT_WORDBREAK;
      break;
    case SS_LEFTNOWORDWRAP:
      flags = DT_LEFT;
      break;
    default:
      flags = DT_LEFT | DT_WORDBREAK;
      break;
  }
  if (text.contains(QLatin1Char('\t'))) flags |= DT_EXPANDTABS;
  if (style & SS_CENTERIMAGE) {
    flags = DT_CENTER;
    if (!text.contains(QStringLiteral("\r\n"))) flags |= DT_VCENTER | DT_SINGLELINE;
  }
  return flags;
}

std::vector<StyledLabel::Band> StyledLabel::GradientBands(int left, int right, Colorref from,
                                                          Colorref to, int n) {
  std::vector<Band> bands;
  const int width = right - left;
  if (width <= 0) return bands;
  n = std::min(n, width);
  const int d = n > 1 ? n : 1;
  const int channels_from[3] = {int(from & 0xFF), int((from >> 8) & 0xFF),
                                int((from >> 16) & 0xFF)};
  const int channels_to[3] = {int(to & 0xFF), int((to >> 8) & 0xFF), int((to >> 16) & 0xFF)};
  int value[3], step[3];
  for (int c = 0; c < 3; ++c) {
    step[c] = (channels_to[c] - channels_from[c]) * 256 / d;  // truncates toward zero
    value[c] = channels_from[c] * 256;
  }
  const int band_width = width / d;
  int x0 = left;
  for (int i = 0; i < n; ++i) {
    const int x1 = i == n - 1 ? right : x0 + band_width;
    bands.push_back(
        {x0, x1,
         QColor((value[0] / 256) & 0xFF, (value[1] / 256) & 0xFF, (value[2] / 256) & 0xFF)});
    for (int c = 0; c < 3; ++c) value[c] += step[c];
    x0 = x1;
  }
  return bands;
}

void StyledLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintFrame(painter);
  const QRect client = contentsRect();
  painter.setClipRect(client);
  if (!parent_background_) {
    if (gradient_) {
      for (const Band& band :
           GradientBands(client.left(), client.right() + 1, background_, end_color_, 100))
        painter.fillRect(QRect(band.x0, client.top(), band.x1 - band.x0, client.height()),
                         band.color);
    } else {
      painter.fillRect(
          client, has_custom_brush_ ? ToQColor(background_) : palette().color(QPalette::Button));
    }
  }
  QColor color = ToQColor(text_color_);
  if (blink_kind_ == kBlinkText && blink_phase_ == 0)  // hidden: the brush colour, or black
    color = has_custom_brush_ ? ToQColor(background_) : QColor(Qt::black);
  painter.setFont(font_);
  PaintText(painter, color);
}

void StyledLabel::PaintText(QPainter& painter, const QColor& color) {
  const QRect client = contentsRect();
  painter.setPen(color);
  if (from_centre_) {
    // The baseline starts at the centre and turns about it with the angle.
    // Whole pixels, as the layout is.
    painter.translate(
        QPoint(client.left() + client.width() / 2, client.top() + client.height() / 2));
    painter.rotate(-angle_degrees_);
    painter.drawText(QPoint(0, 0), text_);
    return;
  }
  const int flags = ToQtTextFlags(TextLayoutFlags(style_, text_));
  if (angle_degrees_ != 0) painter.rotate(-angle_degrees_);
  painter.drawText(client, flags, text_);
  if (emboss_) {
    painter.setPen(ToQColor(emboss_color_));
    const int shift = emboss_down_right_ ? 1 : -1;
    painter.drawText(client.translated(shift, shift), flags, text_);
  }
}

void StyledLabel::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && link_kind_ != kNoLink) {
    if (notify_parent_) {
      emit notified(kNotifyCode);
    } else if (link_kind_ == kWebLink) {
      Opener()(QUrl::fromUserInput(link_target_.isEmpty() ? text_ : link_target_));
    } else {
      Opener()(QUrl(QStringLiteral("mailto:") + text_));
    }
  }
  QFrame::mousePressEvent(event);
}

void StyledLabel::changeEvent(QEvent* event) {
  if (event->type() == QEvent::PaletteChange) Repaint();  // system colours changed
  QFrame::changeEvent(event);
}

}  // namespace ternis
