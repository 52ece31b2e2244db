#include "controls/percent_progress_ctrl.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <climits>

namespace ternis {
namespace {

const QColor kBar(200, 0, 0);
const QColor kBackground(0, 0, 200);

// Counts the paints a widget receives.
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

}  // namespace
}  // namespace ternis
