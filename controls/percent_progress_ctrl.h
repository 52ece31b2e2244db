#pragma once
// A progress bar that paints itself: the filled part in the bar colour, the
// rest in the background colour, and across it the percentage (or a custom
// text) in inverse colours, each half clipped to its part. It keeps its own
// range, position and step, answers the standard progress-bar operations,
// and repaints only when the filled edge moves by a whole pixel.

#include <QString>
#include <QWidget>

#include "controls/colorref.h"

namespace ternis {

class PercentProgressCtrl : public QWidget {
  Q_OBJECT

 public:
  explicit PercentProgressCtrl(QWidget* parent = nullptr);

  // The classic PBM_SETRANGE: lower bound in the low 16 bits, upper in the
  // high 16 bits, both unsigned. Never repaints by itself.
  void SetRange(std::uint32_t packed) {
    SetRange32(static_cast<int>(packed & 0xFFFF), static_cast<int>(packed >> 16));
  }
  void SetRange32(int lower, int upper);
  int lower() const { return lower_; }
  int upper() const { return upper_; }

  // Each answers the previous position. Positions are not clamped.
  int SetPos(int pos);
  // A moved edge is painted with the window's next paint instead of at
  // once: a window with many bars then paints once, not once per bar.
  void SetPaintDeferred(bool deferred) { paint_deferred_ = deferred; }
  int GetPos() const { return pos_; }
  int DeltaPos(int increment) { return SetPos(pos_ + increment); }
  int StepIt() { return SetPos(pos_ + step_); }
  int SetStep(int step) { return std::exchange(step_, step); }

  // Each returns the previous colour and repaints; CLR_DEFAULT is automatic
  // (highlight for the bar, window for the background, inverse for text).
  Colorref SetBarColor(Colorref color);
  Colorref SetBkColor(Colorref color);
  Colorref SetTextColor(Colorref color);
  Colorref GetBarColor() const { return bar_color_; }
  Colorref GetBkColor() const { return bk_color_; }
  Colorref GetTextColor() const { return text_color_; }

  // A custom text instead of the percentage; an empty one brings it back.
  void SetText(const QString& text);
  QString GetText() const { return text_; }
  void ShowText(bool show);

  // 0 left, 1 centre, 2 right; false (and no change) for anything else.
  bool SetTextAlignment(int alignment, bool redraw = true);

  void SetOrientation(Qt::Orientation orientation);
  Qt::Orientation orientation() const { return orientation_; }

  // What the text reads now: the custom text or "<percent>%".
  QString DisplayText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  double Fraction() const;
  int FilledPixels(int length) const;
  Colorref SetColor(Colorref& slot, Colorref color);

  int pos_ = 0;
  int step_ = 1;
  int upper_ = 100;
  int lower_ = 0;
  QString text_;
  bool show_text_ = true;
  int last_filled_pixels_ = -1;
  bool paint_deferred_ = false;
  Colorref bar_color_ = CLR_DEFAULT;
  Colorref bk_color_ = CLR_DEFAULT;
  Colorref text_color_ = CLR_DEFAULT;
  Qt::Alignment alignment_ = Qt::AlignHCenter;
  Qt::Orientation orientation_ = Qt::Horizontal;
};

}  // namespace ternis
