#include "controls/styled_label.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

namespace ternis {
namespace {

using Label = StyledLabel;

TEST(StyledLabelGradient, BandsAreOnePixelOnNarrowLabelsAndAtMost100) {
  const auto narrow = Label::GradientBands(0, 50, Rgb(0, 0, 0), Rgb(255, 0, 0), 100);
  ASSERT_EQ(narrow.size(), 50u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(narrow[i].x0, i);
    EXPECT_EQ(narrow[i].x1, i + 1);
  }
  const auto wide = Label::GradientBands(0, 250, Rgb(0, 0, 0), Rgb(255, 0, 0), 100);
  ASSERT_EQ(wide.size(), 100u);
  for (int i = 0; i < 99; ++i) EXPECT_EQ(wide[i].x1 - wide[i].x0, 2) << i;
  EXPECT_EQ(wide[99].x0, 198);
  EXPECT_EQ(wide[99].x1, 250);
  // step = 255 * 256 / 100 = 652 per band; colour = running value / 256.
  EXPECT_EQ(wide[0].color, QColor(0, 0, 0));
  EXPECT_EQ(wide[1].color, QColor(2, 0, 0));
  EXPECT_EQ(wide[99].color, QColor(99 * 652 / 256, 0, 0));
  EXPECT_TRUE(Label::GradientBands(0, 0, 0, 0, 100).empty());
  // Falling channels truncate toward zero too.
  const auto down = Label::GradientBands(0, 3, Rgb(0, 0, 10), Rgb(0, 0, 0), 100);
  EXPECT_EQ(down[1].color, QColor(0, 0, (10 * 256 - 853) / 256));
}

TEST(StyledLabelLayout, FlagsFollowTheStaticStyleAndTheText) {
  EXPECT_EQ(Label::TextLayoutFlags(Label::SS_CENTER, "Ver1.2"), 0x11);
  EXPECT_EQ(Label::TextLayoutFlags(Label::SS_RIGHT, "x"), 0x12);
  EXPECT_EQ(Label::TextLayoutFlags(Label::SS_LEFTNOWORDWRAP, "x"), 0x00);
  EXPECT_EQ(Label::TextLayoutFlags(Label::SS_LEFT, "a\tb"), 0x50);
  EXPECT_EQ(Label::TextLayoutFlags(Label::SS_CENTER | Label::SS_CENTERIMAGE, "one line"), 0x25);
  EXPECT_EQ(Label::TextLayoutFlags(Label::SS_CENTERIMAGE, "two\r\nlines"), 0x01);
}

class StyledLabelTest : public testing::Test {
 protected:
  StyledLabelTest() {
    parent.resize(300, 100);
    parent.setAutoFillBackground(true);
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0, 200, 200));
    parent.setPalette(palette);
    label = new StyledLabel(&parent, StyledLabel::SS_CENTER);
    label->setGeometry(0, 0, 250, 40);
    parent.show();
  }
  ~StyledLabelTest() override { StyledLabel::SetUrlOpener(nullptr); }

  QImage Grab() { return parent.grab(label->geometry()).toImage(); }
  static bool HasColour(const QImage& image, const QColor& c) {
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        const QRgb p = image.pixel(x, y);
        if (std::abs(qRed(p) - c.red()) + std::abs(qGreen(p) - c.green()) +
                std::abs(qBlue(p) - c.blue()) <
            120)
          return true;
      }
    return false;
  }

  QWidget parent;
  StyledLabel* label;
};

TEST_F(StyledLabelTest, PaintsItsGradientBands) {
  label->SetBackground(Rgb(0, 0, 0), Rgb(0, 250, 0), true);
  const QImage image = Grab();
  const auto bands = Label::GradientBands(0, 250, Rgb(0, 0, 0), Rgb(0, 250, 0), 100);
  EXPECT_EQ(QColor(image.pixel(0, 39)), bands[0].color);
  EXPECT_EQ(QColor(image.pixel(3, 20)), bands[1].color);
  EXPECT_EQ(QColor(image.pixel(249, 0)), bands[99].color);
}

TEST_F(StyledLabelTest, ParentBackgroundShowsThroughOrTheButtonFaceIsPainted) {
  EXPECT_EQ(QColor(Grab().pixel(2, 2)), label->palette().color(QPalette::Button));
  label->UseParentBackground(true);
  EXPECT_EQ(QColor(Grab().pixel(2, 2)), QColor(0, 200, 200));
  label->UseParentBackground(false).SetBackground(Rgb(10, 20, 30), 0, false);
  EXPECT_EQ(QColor(Grab().pixel(2, 2)), QColor(10, 20, 30));
}

TEST_F(StyledLabelTest, BlinkingTextHidesInBlackThenShows) {
  label->SetLabelText("BLINK").SetForeColor(Rgb(255, 0, 0)).SetPointSize(16);
  // A gradient leaves no custom brush, so the hidden phase is black.
  label->SetBackground(Rgb(255, 255, 255), Rgb(255, 255, 255), true);
  ASSERT_TRUE(HasColour(Grab(), Qt::red));
  label->BlinkText(true);
  EXPECT_EQ(label->blinkPhase(), 0);
  label->repaint();
  EXPECT_FALSE(HasColour(Grab(), Qt::red));
  EXPECT_TRUE(HasColour(Grab(), Qt::black));
  QTest::qWait(650);  // one 500 ms tick
  EXPECT_EQ(label->blinkPhase(), 1);
  EXPECT_TRUE(HasColour(Grab(), Qt::red));
  label->BlinkText(false);
  QTest::qWait(600);
  EXPECT_EQ(label->blinkPhase(), 1) << "stopped";
  EXPECT_TRUE(HasColour(Grab(), Qt::red));
}

TEST_F(StyledLabelTest, EmbossDrawsASecondPassInItsColour) {
  label->SetLabelText("EMBOSS").SetPointSize(16).SetForeColor(Rgb(0, 0, 0));
  EXPECT_FALSE(HasColour(Grab(), QColor(255, 0, 255)));
  label->SetEmboss(true, true).SetEmbossColor(Rgb(255, 0, 255));
  EXPECT_TRUE(HasColour(Grab(), QColor(255, 0, 255)));
}

TEST_F(StyledLabelTest, LinksOpenTheTargetOrTheTextOrTellTheParent) {
  std::vector<QUrl> opened;
  StyledLabel::SetUrlOpener([&](const QUrl& url) {
    opened.push_back(url);
    return true;
  });
  label->SetLabelText("example.org");
  QTest::mouseClick(label, Qt::LeftButton);
  EXPECT_TRUE(opened.empty()) << "no link: a click does nothing";

  label->EnableWebLink(true);
  QTest::mouseClick(label, Qt::LeftButton);
  label->SetLinkTarget("https://ternis.test/support");
  QTest::mouseClick(label, Qt::LeftButton);
  label->SetLabelText("service@ternis.test").EnableMailLink(true);
  QTest::mouseClick(label, Qt::LeftButton);
  ASSERT_EQ(opened.size(), 3u);
  EXPECT_EQ(opened[0], QUrl("http://example.org"));
  EXPECT_EQ(opened[1], QUrl("https://ternis.test/support"));
  EXPECT_EQ(opened[2], QUrl("mailto:service@ternis.test")) << "mail ignores the link target";

  QSignalSpy notified(label, &StyledLabel::notified);
  label->EnableWebLink(true, true);
  QTest::mouseClick(label, Qt::LeftButton);
  EXPECT_EQ(opened.size(), 3u) << "nothing opened when the parent is told";
  ASSERT_EQ(notified.count(), 1);
  EXPECT_EQ(notified[0][0].toInt(), 0x8200);
}

TEST_F(StyledLabelTest, HoverCursorShowsOnlyWhileALinkIsOn) {
  label->SetHoverCursor(Qt::PointingHandCursor);
  EXPECT_FALSE(label->testAttribute(Qt::WA_SetCursor)) << "no link: the label ignores the mouse";
  label->EnableWebLink(true, true);  // telling the parent counts as a link too
  ASSERT_TRUE(label->testAttribute(Qt::WA_SetCursor));
  EXPECT_EQ(label->cursor().shape(), Qt::PointingHandCursor);
  label->EnableMailLink(false);
  EXPECT_FALSE(label->testAttribute(Qt::WA_SetCursor));
}

TEST_F(StyledLabelTest, StaticEdgeAndBorderComeAndGoEachOnItsOwn) {
  label->SetBackground(Rgb(10, 20, 30), 0, false);
  const QRgb background = qRgb(10, 20, 30), line = label->palette().color(QPalette::Shadow).rgb(),
             shadow = label->palette().color(QPalette::Dark).rgb(),
             light = label->palette().color(QPalette::Light).rgb();
  label->ShowBorder(true).SetStaticEdge(true);
  QImage image = Grab();
  EXPECT_EQ(image.pixel(0, 0), line);
  EXPECT_EQ(image.pixel(1, 1), shadow) << "the edge inside the border";
  EXPECT_EQ(image.pixel(248, 38), light);
  EXPECT_EQ(image.pixel(2, 2), background);
  EXPECT_EQ(label->contentsRect(), label->rect().adjusted(2, 2, -2, -2));

  label->ShowBorder(false);
  image = Grab();
  EXPECT_EQ(image.pixel(0, 0), shadow) << "the edge stays";
  EXPECT_EQ(image.pixel(1, 1), background);

  label->SetStaticEdge(false).ShowBorder(true);
  image = Grab();
  EXPECT_EQ(image.pixel(0, 0), line) << "the border alone";
  EXPECT_EQ(image.pixel(1, 1), background);
  label->ShowBorder(false);
  EXPECT_EQ(Grab().pixel(0, 0), background);
}

TEST_F(StyledLabelTest, AngledTextFromTheCentreRisesFromTheMiddle) {
  label->setGeometry(0, 0, 100, 100);
  label->SetLabelText("UP").SetPointSize(14).SetForeColor(Rgb(255, 0, 0)).SetTextAngle(90, true);
  const QImage image = Grab();
  bool above = false, below = false;
  for (int y = 0; y < 100; ++y)
    for (int x = 40; x < 60; ++x)
      if (QColor(image.pixel(x, y)).red() > 200 && QColor(image.pixel(x, y)).green() < 80)
        (y < 50 ? above : below) = true;
  EXPECT_TRUE(above) << "drawn upward from the centre";
  EXPECT_FALSE(below);
}

}  // namespace
}  // namespace ternis
