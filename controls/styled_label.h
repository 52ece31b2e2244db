#pragma once
// A static text that paints its own face: colours or a horizontal gradient
// in at most 100 bands, its own font (face, size, weight, italic,
// underline, angle), an optional embossed second pass, blinking, a mode in
// which the parent's background shows through, and a click that opens a
// web link or mail address, or tells the parent instead. Setters return the
// label so calls chain; those that change what is drawn repaint at once.

#include <QCursor>
#include <QFont>
#include <QFrame>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <optional>
#include <vector>

#include "controls/colorref.h"

namespace ternis {

class StyledLabel : public QFrame {
  Q_OBJECT

 public:
  // Classic static-control style bits the layout depends on.
  static constexpr quint32 SS_LEFT = 0x0, SS_CENTER = 0x1, SS_RIGHT = 0x2, SS_LEFTNOWORDWRAP = 0xC,
                           SS_CENTERIMAGE = 0x200;
  // Classic text-drawing flags, as the layout computes them.
  static constexpr int DT_LEFT = 0x0, DT_CENTER = 0x1, DT_RIGHT = 0x2, DT_VCENTER = 0x4,
                       DT_WORDBREAK = 0x10, DT_SINGLELINE = 0x20, DT_EXPANDTABS = 0x40;
  static constexpr int kNotifyCode = 0x8200;

  enum LinkKind { kNoLink = 0, kWebLink = 1, kMailLink = 2 };
  enum BlinkKind { kNoBlink = 0, kBlinkText = 1, kBlinkBackground = 2 };

  struct Band {
    int x0, x1;  // covers x0 <= x < x1
    QColor color;
  };
  using UrlOpener = std::function<bool(const QUrl&)>;

  explicit StyledLabel(QWidget* parent = nullptr, quint32 style = SS_LEFT);

  StyledLabel& SetBackground(Colorref background, Colorref end, bool gradient);
  StyledLabel& SetForeColor(Colorref color);
  StyledLabel& SetLabelText(const QString& text);
  StyledLabel& SetBold(bool bold);
  StyledLabel& SetFaceName(const QString& face);
  StyledLabel& SetUnderline(bool underline);
  StyledLabel& SetItalic(bool italic);
  StyledLabel& SetPointSize(int points);
  // A sunken one-pixel edge and a one-pixel line around it, each on its own;
  // both take room from the text's area.
  StyledLabel& SetStaticEdge(bool on);
  StyledLabel& ShowBorder(bool on);
  StyledLabel& UseParentBackground(bool on);
  StyledLabel& BlinkText(bool on);
  StyledLabel& BlinkBackground(bool on);
  StyledLabel& EnableWebLink(bool on, bool notify_parent = false);
  // Shown over the label only while a web or mail link is on.
  StyledLabel& SetHoverCursor(const QCursor& cursor);
  StyledLabel& SetEmboss(bool on, bool down_right = true);
  StyledLabel& SetTextAngle(int degrees, bool from_centre);
  StyledLabel& SetEmbossColor(Colorref color);
  StyledLabel& SetLogFont(const QFont& font);
  StyledLabel& EnableMailLink(bool on, bool notify_parent = false);
  StyledLabel& SetLinkTarget(const QString& target);

  QString text() const { return text_; }
  quint32 staticStyle() const { return style_; }
  void setStaticStyle(quint32 style);
  const QFont& labelFont() const { return font_; }
  int blinkPhase() const { return blink_phase_; }
  bool parentBackground() const { return parent_background_; }
  LinkKind linkKind() const { return link_kind_; }

  // The classic layout flags for a static style and its text.
  static int TextLayoutFlags(quint32 style, const QString& text);
  // The gradient's bands over [left, right), from `from` to `to`, at most n.
  static std::vector<Band> GradientBands(int left, int right, Colorref from, Colorref to, int n);

  // Where links go; QDesktopServices::openUrl unless replaced (tests).
  static void SetUrlOpener(UrlOpener opener);

 signals:
  // A click with notify-parent set, instead of opening the link.
  void notified(int code);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void Repaint();
  void UpdateFrame();
  void UpdateCursor();
  void PaintFrame(QPainter& painter);
  void StartBlink(bool on);
  void OnBlinkTick();
  void PaintText(QPainter& painter, const QColor& color);

  quint32 style_;
  QString text_;
  QFont font_;
  Colorref text_color_;
  Colorref emboss_color_ = Rgb(255, 255, 255);
  Colorref background_ = 0;
  Colorref end_color_ = 0;
  bool has_custom_brush_ = false;
  bool gradient_ = false;
  int blink_phase_ = 0;
  BlinkKind blink_kind_ = kNoBlink;
  LinkKind link_kind_ = kNoLink;
  bool parent_background_ = false;
  bool emboss_ = false;
  bool emboss_down_right_ = false;
  bool notify_parent_ = false;
  bool from_centre_ = false;
  int angle_degrees_ = 0;
  bool static_edge_ = false;
  bool border_ = false;
  std::optional<QCursor> hover_cursor_;
  QString link_target_;
  QTimer blink_timer_;
};

}  // namespace ternis
