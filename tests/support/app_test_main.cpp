// GoogleTest main for the application's tests: a private XDG_CONFIG_HOME
// (so QSettings files are real but ours) and XDG_STATE_HOME (the log file),
// the offscreen platform, and a QApplication.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QFont>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  char config[] = "/tmp/ternis-config-XXXXXX";
  if (::mkdtemp(config) == nullptr) return 1;
  ::setenv("XDG_CONFIG_HOME", config, 1);
  const std::string state = std::string(config) + "/state";
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int result = 0;
  {
    QApplication app(argc, argv);
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 8));
    testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  std::error_code ignored;
  std::filesystem::remove_all(config, ignored);
  return result;
}
