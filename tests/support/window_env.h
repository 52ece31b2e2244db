#pragma once
// What the window tests share: the settings file of this test run (under
// the private XDG_CONFIG_HOME), and turning the event loop until something
// has happened.

#include <QApplication>
#include <QThread>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace ternis::test {

inline std::filesystem::path SettingsFile() {
  return std::filesystem::path(qgetenv("XDG_CONFIG_HOME").toStdString()) / "Halvek" / "Velko.conf";
}

// Starts the settings file afresh with `lines` under [General].
inline void WriteSettings(const std::string& lines) {
  std::filesystem::create_directories(SettingsFile().parent_path());
  std::ofstream(SettingsFile()) << "[General]\n" << lines;
}

// Keeps the window's event loop turning until `done` or `limit`.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

}  // namespace ternis::test
