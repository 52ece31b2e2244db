#include "controls/styled_label.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>

namespace ternis {
namespace {

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
