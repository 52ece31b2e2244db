#pragma once
// What the window tests share: the settings file of this test run (under
// the private XDG_CONFIG_HOME), turning the event loop until something
// has happened, dropping files, and acting on a dialog that runs its own loop.

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

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

// Dragging `paths` onto `window` as the file manager does: enter, then
// drop; false if the window refused them on entering.
inline bool Drop(QWidget* window, const std::vector<std::string>& paths) {
  QMimeData data;
  QList<QUrl> urls;
  for (const std::string& path : paths) urls << QUrl::fromLocalFile(QString::fromStdString(path));
  data.setUrls(urls);
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window, &drop);
  return true;
}

// Runs `act` once on the first visible modal dialog of class `name`, looked
// for every 10 ms while `context` lives: for a dialog whose own loop runs
// inside a click.
inline void WhenModal(QObject* context, const char* name, std::function<void(QWidget*)> act) {
  auto* poll = new QTimer(context);
  QObject::connect(poll, &QTimer::timeout, [poll, name, act = std::move(act)] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || !modal->inherits(name)) return;
    poll->stop();
    act(modal);
  });
  poll->start(10);
}

}  // namespace ternis::test
