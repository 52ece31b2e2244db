#include "controls/skin_button.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QImage>
#include <QTest>

#include "controls/skin.h"

namespace ternis {
namespace {

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

// Normal red, pressed or checked green, hover blue, disabled grey.
TEST_F(SkinButtonTest, PaintsTheBitmapOfEachStateAsThePointerMoves) {
  SkinButton* button = Make(SkinButton::Kind::Radio);
  SkinButton* push = Make(SkinButton::Kind::Push, {40, 0});
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

TEST_F(SkinButtonTest, CheckingARadioUnchecksTheOthersOfItsGroupShortlyAfter) {
  SkinButton* a = Make(SkinButton::Kind::Radio, {0, 0});
  SkinButton* b = Make(SkinButton::Kind::Radio, {30, 0});
  SkinButton* c = Make(SkinButton::Kind::Radio, {60, 0});
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

  QTest::mouseClick(b, Qt::LeftButton);  // clicking a checked radio keeps it checked
  QApplication::sendPostedEvents();
  EXPECT_EQ(b->GetCheck(), 1);

  QTest::mousePress(c, Qt::LeftButton, {}, QPoint(5, 5));  // released outside: no check
  QTest::mouseRelease(c, Qt::LeftButton, {}, QPoint(50, 5));
  EXPECT_EQ(c->GetCheck(), 0);
}

}  // namespace
}  // namespace ternis
