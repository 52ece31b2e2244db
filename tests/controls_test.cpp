// The controls on the offscreen platform (tests/support/qt_main.cpp): the
// progress bar, the skinned button, the clock and the styled label, as
// real widgets, by their pixels, paint events and fields.

#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QImage>
#include <QLineEdit>
#include <QTest>
#include <climits>

#include "controls/clock_display.h"
#include "controls/percent_progress_ctrl.h"
#include "controls/skin.h"
#include "controls/skin_button.h"
#include "controls/styled_label.h"
#include "protocol/date_time_code.h"
#include "tests/support/box_frames.h"

namespace ternis {
namespace {

const QColor kBar(200, 0, 0);
const QColor kBackground(0, 0, 200);

class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++count;
    return false;
  }
};

// Antialiased glyphs seldom have a fully opaque pixel at 8 pt: some pixel
// of `area` nearer to `c` than to anything else on the bar will do.
bool HasColour(const QImage& image, const QRect& area, const QColor& c) {
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      const QRgb p = image.pixel(x, y);
      if (std::abs(qRed(p) - c.red()) + std::abs(qGreen(p) - c.green()) +
              std::abs(qBlue(p) - c.blue()) <
          150)
        return true;
    }
  }
  return false;
}

class ProgressTest : public testing::Test {
 protected:
  void SetUp() override {
    bar.resize(200, 20);
    bar.SetBarColor(ToColorref(kBar));
    bar.SetBkColor(ToColorref(kBackground));
    bar.show();
    QApplication::processEvents();
  }
  QImage Grab() { return bar.grab().toImage(); }

  PercentProgressCtrl bar;
};

// The bar is filled up to `edge` of its 200 pixels; the percent is
// truncated, not rounded. Far past the range the pixels exceed int before
// they are clamped.
TEST_F(ProgressTest, FillsAndReadsThePercentWithinAndOutsideTheRange) {
  EXPECT_EQ(bar.DisplayText(), "0%") << "a new bar";
  struct Case {
    int lower, upper, pos, edge;
    const char* text;
  };
  const Case cases[] = {
      {0, 100, 0, 0, "0%"},
      {0, 200, 50, 50, "25%"},
      {0, 200, 199, 199, "99%"},
      {0, 100, 150, 200, "150%"},
      {0, 100, -10, 0, "-10%"},
      {0, 2, INT_MAX, 200, "107374182350%"},
      {0, 1, INT_MAX, 200, "214748364700%"},
      {0, 1, INT_MIN, 0, "-214748364800%"},
      {INT_MIN, INT_MAX, INT_MAX, 200, "100%"},
  };
  for (const Case& c : cases) {
    bar.SetRange32(c.lower, c.upper);
    bar.SetPos(c.pos);
    const QImage image = Grab();
    const int last_filled = std::max(c.edge - 1, 0), first_empty = std::min(c.edge, 199);
    EXPECT_EQ(QColor(image.pixel(last_filled, 1)), c.edge > 0 ? kBar : kBackground) << c.pos;
    EXPECT_EQ(QColor(image.pixel(first_empty, 1)), c.edge < 200 ? kBackground : kBar) << c.pos;
    EXPECT_EQ(bar.DisplayText(), c.text);
  }

  bar.SetRange32(0, 100);
  bar.SetPos(50);  // the text straddles the edge at x = 100
  const QImage image = Grab();
  EXPECT_TRUE(HasColour(image, QRect(0, 0, 100, 20), kBackground))
      << "text over the filled part is in the background colour";
  EXPECT_TRUE(HasColour(image, QRect(100, 0, 100, 20), kBar))
      << "text over the empty part is in the bar colour";
}

TEST_F(ProgressTest, RepaintsOnlyWhenTheFilledEdgeMoves) {
  bar.resize(100, 20);
  QApplication::processEvents();
  bar.SetRange32(0, 1000);
  PaintCounter paints(&bar);
  bar.SetPos(5);  // 0.5 px: edge at 0, first change since the resize
  EXPECT_EQ(paints.count, 1);
  bar.SetPos(9);  // still 0 px
  EXPECT_EQ(paints.count, 1);
  EXPECT_EQ(bar.GetPos(), 9);
  bar.SetPos(10);  // 1 px
  EXPECT_EQ(paints.count, 2);
  bar.SetRange32(0, 2000);  // a range change never repaints by itself
  EXPECT_EQ(paints.count, 2);
  bar.resize(120, 20);
  QApplication::processEvents();
  const int after_resize = paints.count;
  bar.SetPos(10);  // same position, but the first change after a resize repaints
  EXPECT_EQ(paints.count, after_resize + 1);

  // Deferred, moves of the edge paint once, with the next turn of the loop.
  bar.SetPaintDeferred(true);
  bar.SetPos(500);
  bar.SetPos(1000);
  EXPECT_EQ(paints.count, after_resize + 1);
  QApplication::processEvents();
  EXPECT_EQ(paints.count, after_resize + 2);
}

QPixmap Solid(const QColor& colour, QSize size = {20, 10}) {
  QPixmap pixmap(size);
  pixmap.fill(colour);
  return pixmap;
}

class SkinButtonTest : public testing::Test {
 protected:
  SkinButtonTest() { window.resize(300, 100); }

  SkinButton* Make(SkinButton::Kind kind, QPoint at = {0, 0}) {
    auto* button = new SkinButton(kind, &window);
    button->setGeometry(QRect(at, QSize(20, 10)));
    SkinButton::Bitmaps bitmaps{Solid(Qt::red),  Solid(Qt::green), Solid(Qt::blue),
                                Solid(Qt::gray), QPixmap(),        QPixmap()};
    button->SetBitmaps(bitmaps, false, SkinButton::Stretch, 0, 0);
    return button;
  }
  static QColor Face(SkinButton* button) { return QColor(button->grab().toImage().pixel(10, 5)); }
  static void Enter(SkinButton* button) {
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), button->mapToGlobal(QPointF(5, 5)));
    QApplication::sendEvent(button, &enter);
  }

  QWidget window;
};

// Normal red, pressed or checked green, hover blue, disabled grey. A
// radio checked unchecks the others of its group shortly after.
TEST_F(SkinButtonTest, PaintsTheBitmapOfEachStateAndChecksOneRadioOfAGroup) {
  SkinButton* button = Make(SkinButton::Kind::Radio);
  SkinButton* push = Make(SkinButton::Kind::Push, {40, 0});
  SkinButton* b = Make(SkinButton::Kind::Radio, {70, 0});
  SkinButton* c = Make(SkinButton::Kind::Radio, {100, 0});
  window.show();
  EXPECT_EQ(Face(button), QColor(Qt::red));
  Enter(button);
  ASSERT_TRUE(button->isHovering());
  EXPECT_EQ(Face(button), QColor(Qt::blue));
  QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_FALSE(button->isHovering()) << "a press cancels the hover";
  EXPECT_EQ(Face(button), QColor(Qt::green));
  QTest::mouseMove(button, QPoint(50, 5));
  EXPECT_FALSE(button->isDown()) << "left while pressed";
  QTest::mouseMove(button, QPoint(5, 5));
  EXPECT_TRUE(button->isDown());
  QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_EQ(button->GetCheck(), 1);
  EXPECT_EQ(Face(button), QColor(Qt::green)) << "checked";
  button->setEnabled(false);
  EXPECT_EQ(Face(button), QColor(Qt::green)) << "disabled, a checked button stays visibly checked";
  button->SetCheck(0);
  EXPECT_EQ(Face(button), QColor(Qt::gray));

  QTest::mouseClick(push, Qt::LeftButton);
  push->SetCheck(1);
  EXPECT_EQ(push->GetCheck(), 0) << "a push button never stays checked";
  EXPECT_EQ(Face(push), QColor(Qt::red));

  button->setEnabled(true);
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(button->GetCheck(), 1);
  QApplication::sendPostedEvents();  // the event loop's next turn
  b->SetCheck(1);
  EXPECT_EQ(button->GetCheck(), 1) << "the uncheck is posted, not immediate";
  QApplication::sendPostedEvents();
  EXPECT_EQ(button->GetCheck(), 0);
  EXPECT_EQ(b->GetCheck(), 1);
  EXPECT_EQ(c->GetCheck(), 0);
  QTest::mouseClick(b, Qt::LeftButton);  // clicking a checked radio keeps it checked
  QApplication::sendPostedEvents();
  EXPECT_EQ(b->GetCheck(), 1);
  QTest::mousePress(c, Qt::LeftButton, {}, QPoint(5, 5));  // released outside: no check
  QTest::mouseRelease(c, Qt::LeftButton, {}, QPoint(50, 5));
  EXPECT_EQ(c->GetCheck(), 0);
}

TEST_F(SkinButtonTest, FallbacksWhenBitmapsAreMissing) {
  SkinButton* by_id = Make(SkinButton::Kind::Push);
  by_id->SetBitmaps(skin::IDB_CLOSE_NORMAL);
  const QImage normal = by_id->grab().toImage();
  by_id->setEnabled(false);
  EXPECT_EQ(by_id->grab().toImage(), normal) << "no disabled id: the normal bitmap serves";
  by_id->SetBitmaps(skin::IDB_CLOSE_NORMAL, 0, 0, 9999);  // a disabled id that does not load
  EXPECT_NE(by_id->grab().toImage(), normal);
  EXPECT_EQ(Face(by_id), by_id->palette().color(QPalette::Button)) << "button face";
}

// Tick after tick, every field set to "kept" before each: a field that
// still reads "kept" was left alone; a null code is the owner's code of the time.
TEST(ClockTest, WritesTheFieldsWhoseValueChangedAndTheCode) {
  QLineEdit hour, minute, second, meridiem, code;
  std::tm now{};
  ClockDisplay clock(&hour, &minute, &second, &meridiem, &code);
  clock.setLocalTime([&] { return now; });
  const auto code_of = [](const std::tm& local) {
    return QString::fromStdString(FormatDateTimeCode(DateTimeCodeFor(local)));
  };
  clock.setCodeText(code_of);
  clock.Create();
  struct Case {
    std::tm at;
    const char *hour, *minute, *second, *meridiem, *code;
  };
  const Case cases[] = {
      // Minute 0 equals the zeroed last shown time of the first tick.
      {test::LocalTime(2024, 5, 6, 10, 0, 30), "10", "kept", "30", "AM", nullptr},
      {test::LocalTime(2024, 5, 6, 10, 0, 31), "kept", "kept", "31", "kept", nullptr},
      {test::LocalTime(2024, 5, 6, 10, 0, 31), "kept", "kept", "kept", "kept", "kept"},
      {test::LocalTime(2002, 3, 4, 13, 5, 9), "13", "5", "9", "PM", "cc71130509"},
      // 12 is the last hour that reads AM.
      {test::LocalTime(1993, 10, 13, 12, 45, 1), "12", "45", "1", "AM", "c079124501"},
      {test::LocalTime(2024, 5, 6, 0, 1, 30), "0", "1", "30", "AM", nullptr},
  };
  for (const Case& c : cases) {
    for (QLineEdit* field : {&hour, &minute, &second, &meridiem, &code}) field->setText("kept");
    now = c.at;
    clock.Tick();
    const std::string at = std::asctime(&c.at);
    EXPECT_EQ(hour.text(), c.hour) << at;
    EXPECT_EQ(minute.text(), c.minute) << at;
    EXPECT_EQ(second.text(), c.second) << at;
    EXPECT_EQ(meridiem.text(), c.meridiem) << at;
    EXPECT_EQ(code.text(), c.code ? QString(c.code) : code_of(c.at)) << at;
  }
}

using Label = StyledLabel;

TEST(StyledLabelLayout, FlagsFollowTheStaticStyleAndTheText) {
  EXPECT_EQ(Label::TextLayoutFlags(Label::SS_CENTER, "Ver1.2"), 0x11);
  EXPECT_EQ(Label::TextLayoutFlags(Label::SS_RIGHT, "x"), 0x12);
  EXPECT_EQ(Label::TextLayoutFlags(Label::SS_LEFTNOWORDWRAP, "x"), 0x00);
  EXPECT_EQ(Label::TextLayoutFlags(Label::SS_LEFT, "a\tb"), 0x50);
  EXPECT_EQ(Label::TextLayoutFlags(Label::SS_CENTER | Label::SS_CENTERIMAGE, "one line"), 0x25);
  EXPECT_EQ(Label::TextLayoutFlags(Label::SS_CENTERIMAGE, "two\r\nlines"), 0x01);
}

TEST(StyledLabelTest, ParentBackgroundShowsThroughOrTheButtonFaceIsPainted) {
  QWidget parent;
  parent.resize(300, 100);
  parent.setAutoFillBackground(true);
  QPalette palette;
  palette.setColor(QPalette::Window, QColor(0, 200, 200));
  parent.setPalette(palette);
  auto* label = new StyledLabel(&parent, StyledLabel::SS_CENTER);
  label->setGeometry(0, 0, 250, 40);
  parent.show();
  const auto corner = [&] { return QColor(parent.grab(label->geometry()).toImage().pixel(2, 2)); };
  EXPECT_EQ(corner(), label->palette().color(QPalette::Button));
  label->UseParentBackground(true);
  EXPECT_EQ(corner(), QColor(0, 200, 200));
  label->UseParentBackground(false).SetBackground(Rgb(10, 20, 30), 0, false);
  EXPECT_EQ(corner(), QColor(10, 20, 30));
}

}  // namespace
}  // namespace ternis
