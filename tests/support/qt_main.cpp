// GoogleTest main for widget tests: a QApplication on the offscreen
// platform (unless another is asked for), with a fixed font.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 8));
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
