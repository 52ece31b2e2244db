#pragma once
// A button that paints itself from bitmaps, one per state (normal, pressed
// or checked, hover, disabled, focus), with its caption on top (greyed when
// disabled; a disabled checked button keeps the checked face), and can take
// a non-rectangular outline from a mask bitmap. It keeps its own check state
// and implements toggle and radio behaviour itself: checking a radio button
// unchecks the other radio buttons of its group shortly after (queued).

#include <QAbstractButton>
#include <QEvent>
#include <QPixmap>
#include <QRegion>
#include <vector>

#include "controls/colorref.h"

namespace ternis {

class SkinButton : public QAbstractButton {
  Q_OBJECT

 public:
  enum class Kind { Push, Toggle, Radio };
  enum DrawMode : int { Plain = 0, Stretch = 1, Tile = 2 };

  // Posted to the other radio buttons of a group: clear your check.
  static constexpr QEvent::Type kUncheckEvent = static_cast<QEvent::Type>(QEvent::User + 256);

  struct Bitmaps {
    QPixmap normal, pressed, hover, disabled, focus, mask;
  };

  explicit SkinButton(Kind kind = Kind::Push, QWidget* parent = nullptr);

  // The kind a classic button style asks for: auto check box (low bits 3)
  // is Toggle, auto radio button (bits 0 and 3) is Radio, anything else Push.
  static Kind KindFromStyle(quint32 style);

  // Bitmaps by resource id (0 = none). With disabledId 0 the normal bitmap
  // serves when disabled; an id that does not load leaves its slot empty,
  // which paints the button face. drawMode is clamped to Plain..Tile, a
  // negative textInset counts as 0. A mask id builds a new outline; in Plain
  // mode the button then takes the mask's size. Repaints at the next paint only.
  void SetBitmaps(int normalId, int pressedId = 0, int hoverId = 0, int disabledId = 0,
                  int focusId = 0, int maskId = 0, qint16 drawMode = Stretch, qint16 border = 0,
                  qint16 textInset = 0);
  // The same with bitmaps in hand, each used as given (null: the button face).
  void SetBitmaps(Bitmaps bitmaps, bool has_mask, qint16 drawMode, qint16 border, qint16 textInset);

  void SetToolTipText(const QString& text) { setToolTip(text); }
  // Returns the previous caption colour; nothing is repainted.
  Colorref SetTextColor(Colorref color);

  // Check state (the classic BM_SETCHECK / BM_GETCHECK): any non-zero state
  // checks; a push button never stays checked.
  void SetCheck(int state);
  int GetCheck() const { return checked_ ? 1 : 0; }

  // Radio buttons with the same parent and group number form a group.
  void setGroup(int group) { group_ = group; }
  int group() const { return group_; }

  Kind kind() const { return kind_; }
  DrawMode drawMode() const { return draw_mode_; }
  int textInset() const { return text_inset_; }
  bool isHovering() const { return hovering_; }
  // True when a mask left nothing of the button: it shows nothing, takes no clicks.
  bool isFullyMasked() const { return fully_masked_; }

  // The outline of a mask: per row from the bottom up, one rectangle per
  // run of pixels that are not white.
  static std::vector<QRect> MaskRectangles(const QImage& mask);
  static QRegion BuildRegionFromMask(const QImage& mask);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool hitButton(const QPoint& pos) const override;
  void customEvent(QEvent* event) override;

 private:
  void ApplyMask(const QImage& mask);
  void UncheckOthersInGroup();
  const QPixmap* EnabledFace() const;
  void DrawBitmap(QPainter& painter, const QPixmap& bitmap) const;
  QPixmap Masked(const QPixmap& bitmap) const;
  void DrawCaption(QPainter& painter, QRect rect, const QColor& color) const;

  Kind kind_;
  bool checked_ = false;
  bool hovering_ = false;
  bool fully_masked_ = false;
  int group_ = 0;
  Bitmaps bitmaps_;
  qint16 text_inset_ = 0;
  bool border_ = false;
  DrawMode draw_mode_ = Stretch;
  Colorref text_color_;
};

}  // namespace ternis
