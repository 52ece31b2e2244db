#include "controls/skin_button.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QImage>
#include <QKeyEvent>
#include <QSignalSpy>
#include <QTest>

#include "controls/skin.h"

namespace ternis {
namespace {

QPixmap Solid(const QColor& colour, QSize size = {20, 10}) {
  QPixmap pixmap(size);
  pixmap.fill(colour);
  return pixmap;
}

// A mask image from rows of '#' (inside) and '.' (white, outside).
QImage Mask(const std::vector<std::string>& rows) {
  QImage image(static_cast<int>(rows[0].size()), static_cast<int>(rows.size()),
               QImage::Format_RGB32);
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      image.setPixel(x, y, rows[y][x] == '#' ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
  return image;
}

TEST(SkinButtonMask, RowScanFromTheBottomGivesOneRectanglePerRun) {
  EXPECT_TRUE(SkinButton::MaskRectangles(Mask({"....", "....", "...."})).empty());
  EXPECT_TRUE(SkinButton::BuildRegionFromMask(Mask({"....", "...."})).isEmpty());

  const auto full = SkinButton::MaskRectangles(Mask({"####", "####", "####"}));
  EXPECT_EQ(full, (std::vector<QRect>{QRect(0, 2, 4, 1), QRect(0, 1, 4, 1), QRect(0, 0, 4, 1)}));

  // One pixel in the last column: a 1 x 1 rectangle on that row only.
  EXPECT_EQ(SkinButton::MaskRectangles(Mask({"....", "...#", "...."})),
            (std::vector<QRect>{QRect(3, 1, 1, 1)}));
  // A run reaching the last column includes it; a white last pixel never counts.
  EXPECT_EQ(SkinButton::MaskRectangles(Mask({"#.##", "##.."})),
            (std::vector<QRect>{QRect(0, 1, 2, 1), QRect(0, 0, 1, 1), QRect(2, 0, 2, 1)}));
  const QRegion region = SkinButton::BuildRegionFromMask(Mask({".#.", "###"}));
  EXPECT_TRUE(region.contains(QPoint(1, 0)));
  EXPECT_FALSE(region.contains(QPoint(0, 0)));
  EXPECT_TRUE(region.contains(QPoint(2, 1)));
}

class SkinButtonTest : public testing::Test {
 protected:
  SkinButtonTest() { window.resize(300, 100); }

  SkinButton* Make(SkinButton::Kind kind, QPoint at = {0, 0}) {
    auto* button = new SkinButton(kind, &window);
    button->setGeometry(QRect(at, QSize(20, 10)));
    SkinButton::Bitmaps bitmaps{Solid(Qt::red),  Solid(Qt::green),  Solid(Qt::blue),
                                Solid(Qt::gray), Solid(Qt::yellow), QPixmap()};
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

TEST_F(SkinButtonTest, PaintsTheBitmapOfEachState) {
  SkinButton* button = Make(SkinButton::Kind::Toggle);
  window.show();
  EXPECT_EQ(Face(button), QColor(Qt::red));
  Enter(button);
  EXPECT_EQ(Face(button), QColor(Qt::blue));
  button->setDown(true);
  EXPECT_EQ(Face(button), QColor(Qt::green));
  button->setDown(false);
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(button, &leave);
  button->SetCheck(1);
  EXPECT_EQ(Face(button), QColor(Qt::green)) << "checked";
  button->setEnabled(false);
  EXPECT_EQ(Face(button), QColor(Qt::green)) << "disabled, a checked button stays visibly checked";
  button->SetCheck(0);
  EXPECT_EQ(Face(button), QColor(Qt::gray));
}

TEST_F(SkinButtonTest, FocusBitmapShowsWithTheKeyboardFocus) {
  SkinButton* button = Make(SkinButton::Kind::Push);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  button->setFocus();
  ASSERT_TRUE(button->hasFocus());
  QEvent leave(QEvent::Leave);  // the offscreen cursor rests at (0, 0), over the button
  QApplication::sendEvent(button, &leave);
  EXPECT_EQ(Face(button), QColor(Qt::yellow));
  Enter(button);
  EXPECT_EQ(Face(button), QColor(Qt::blue)) << "hover comes before focus";
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

  SkinButton* no_normal = Make(SkinButton::Kind::Push, {40, 0});
  no_normal->SetBitmaps(
      {QPixmap(), Solid(Qt::green), Solid(Qt::blue), QPixmap(), Solid(Qt::yellow), QPixmap()},
      false, SkinButton::Stretch, 0, 0);
  window.show();
  Enter(no_normal);
  EXPECT_EQ(Face(no_normal), no_normal->palette().color(QPalette::Button))
      << "button face, no hover";
}

TEST_F(SkinButtonTest, PushButtonNeverStaysChecked) {
  SkinButton* button = Make(SkinButton::Kind::Push);
  button->SetCheck(1);
  EXPECT_EQ(button->GetCheck(), 0);
  EXPECT_EQ(Face(button), QColor(Qt::red));
  EXPECT_EQ(SkinButton::KindFromStyle(0x50010000), SkinButton::Kind::Push);
  EXPECT_EQ(SkinButton::KindFromStyle(0x50028009), SkinButton::Kind::Radio);
  EXPECT_EQ(SkinButton::KindFromStyle(0x5001D003), SkinButton::Kind::Toggle);
}

TEST_F(SkinButtonTest, CheckingARadioUnchecksTheOthersOfItsGroupShortlyAfter) {
  SkinButton* a = Make(SkinButton::Kind::Radio, {0, 0});
  SkinButton* b = Make(SkinButton::Kind::Radio, {30, 0});
  SkinButton* c = Make(SkinButton::Kind::Radio, {60, 0});
  SkinButton* elsewhere = Make(SkinButton::Kind::Radio, {90, 0});
  elsewhere->setGroup(1);
  elsewhere->SetCheck(1);
  window.show();

  QTest::mouseClick(a, Qt::LeftButton);
  EXPECT_EQ(a->GetCheck(), 1);
  QApplication::sendPostedEvents();  // the event loop's next turn
  b->SetCheck(1);
  EXPECT_EQ(a->GetCheck(), 1) << "the uncheck is posted, not immediate";
  QApplication::sendPostedEvents();
  EXPECT_EQ(a->GetCheck(), 0);
  EXPECT_EQ(b->GetCheck(), 1);
  EXPECT_EQ(c->GetCheck(), 0);
  EXPECT_EQ(elsewhere->GetCheck(), 1) << "another group";

  QTest::mouseClick(b, Qt::LeftButton);  // clicking a checked radio keeps it checked
  QApplication::sendPostedEvents();
  EXPECT_EQ(b->GetCheck(), 1);

  QTest::mousePress(c, Qt::LeftButton, {}, QPoint(5, 5));  // released outside: no check
  QTest::mouseRelease(c, Qt::LeftButton, {}, QPoint(50, 5));
  EXPECT_EQ(c->GetCheck(), 0);
}

TEST_F(SkinButtonTest, ToggleFlipsOnClickAndOnEverySpaceKeyDown) {
  SkinButton* button = Make(SkinButton::Kind::Toggle);
  window.show();
  int seen_at_click = -1;
  QObject::connect(button, &QAbstractButton::clicked, [&] { seen_at_click = button->GetCheck(); });
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(button->GetCheck(), 1);
  EXPECT_EQ(seen_at_click, 1) << "the owner sees the new state when the click arrives";
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(button->GetCheck(), 0);

  QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
  QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ", true);
  QApplication::sendEvent(button, &press);
  EXPECT_EQ(button->GetCheck(), 1);
  QApplication::sendEvent(button, &repeat);  // auto-repeats count too
  EXPECT_EQ(button->GetCheck(), 0);
}

TEST_F(SkinButtonTest, PressCancelsHoverAndLeavingWhilePressedUnpushes) {
  SkinButton* button = Make(SkinButton::Kind::Push);
  window.show();
  Enter(button);
  ASSERT_TRUE(button->isHovering());
  QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_FALSE(button->isHovering());
  EXPECT_EQ(Face(button), QColor(Qt::green));
  QTest::mouseMove(button, QPoint(50, 5));
  EXPECT_FALSE(button->isDown());
  QTest::mouseMove(button, QPoint(5, 5));
  EXPECT_TRUE(button->isDown());
  QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(5, 5));
}

TEST_F(SkinButtonTest, SetBitmapsClampsItsNumbersAndPlainTakesTheMasksSize) {
  SkinButton* button = Make(SkinButton::Kind::Push);
  button->SetBitmaps({Solid(Qt::red), {}, {}, {}, {}, {}}, false, -1, 0, -5);
  EXPECT_EQ(button->drawMode(), SkinButton::Plain);
  EXPECT_EQ(button->textInset(), 0);
  button->SetBitmaps({Solid(Qt::red), {}, {}, {}, {}, {}}, false, 3, 0, 4);
  EXPECT_EQ(button->drawMode(), SkinButton::Tile);

  const QPixmap mask = QPixmap::fromImage(Mask({"######", "......", "###..."}));
  button->SetBitmaps({Solid(Qt::red), {}, {}, {}, {}, mask}, true, SkinButton::Stretch, 0, 0);
  EXPECT_EQ(button->size(), QSize(20, 10)) << "stretch keeps its size";
  button->SetBitmaps({Solid(Qt::red), {}, {}, {}, {}, mask}, true, SkinButton::Plain, 0, 0);
  EXPECT_EQ(button->size(), QSize(6, 3));
  EXPECT_TRUE(button->mask().contains(QPoint(5, 0)));
  EXPECT_FALSE(button->mask().contains(QPoint(0, 1)));

  const QPixmap white = QPixmap::fromImage(Mask({"...", "..."}));
  button->SetBitmaps({Solid(Qt::red), {}, {}, {}, {}, white}, true, SkinButton::Plain, 0, 0);
  EXPECT_TRUE(button->isFullyMasked());
  window.show();
  QSignalSpy clicks(button, &QAbstractButton::clicked);
  QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(1, 1));
  EXPECT_EQ(clicks.count(), 0) << "nothing left to click";
}

TEST_F(SkinButtonTest, MaskShowsTheImageWhereBlackAndWhatLiesBeneathWhereWhite) {
  window.setAutoFillBackground(true);
  QPalette palette;
  palette.setColor(QPalette::Window, Qt::cyan);
  window.setPalette(palette);
  SkinButton* button = Make(SkinButton::Kind::Push);
  const QPixmap mask = QPixmap::fromImage(Mask({"##..", "##..", "##..", "##.."}));
  button->SetBitmaps({Solid(Qt::red, {4, 4}), {}, {}, {}, {}, mask}, true, SkinButton::Plain, 0, 0);
  // A later SetBitmaps without a mask keeps the outline in force.
  window.show();
  const QImage seen = window.grab(QRect(0, 0, 4, 4)).toImage();
  EXPECT_EQ(QColor(seen.pixel(0, 0)), QColor(Qt::red));
  EXPECT_EQ(QColor(seen.pixel(3, 0)), QColor(Qt::cyan));
}

TEST_F(SkinButtonTest, PlainModeTakesTheMaskAtItsOwnSize) {
  window.setAutoFillBackground(true);
  QPalette palette;
  palette.setColor(QPalette::Window, Qt::cyan);
  window.setPalette(palette);
  // Black on the left, all but white on the right: inside the outline, but
  // the image hardly shows there. Scaled to the wider image it would be red.
  QImage mask(4, 4, QImage::Format_RGB32);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) mask.setPixel(x, y, x < 2 ? qRgb(0, 0, 0) : qRgb(254, 254, 254));
  SkinButton* button = Make(SkinButton::Kind::Push);
  button->SetBitmaps({Solid(Qt::red, {8, 4}), {}, {}, {}, {}, QPixmap::fromImage(mask)}, true,
                     SkinButton::Plain, 0, 0);
  window.show();
  ASSERT_EQ(button->size(), QSize(4, 4));
  const QImage seen = window.grab(QRect(0, 0, 4, 4)).toImage();
  EXPECT_EQ(QColor(seen.pixel(1, 1)), QColor(Qt::red));
  EXPECT_LE(qRed(seen.pixel(2, 1)), 2) << "what lies beneath shows";
  EXPECT_GE(qBlue(seen.pixel(3, 1)), 250);
}

}  // namespace
}  // namespace ternis
