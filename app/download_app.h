#pragma once
// The program's life: records how the port is driven, loads the settings,
// runs the main window modally, and tears down in order. SIGINT and SIGTERM
// end it through the same orderly path as the close button.

#include <QApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <memory>

#include "link/platform_kind.h"

namespace ternis {

class DownloadDialog;
class BoxSession;
class SettingsStore;

class DownloadApp : public QApplication {
  Q_OBJECT

 public:
  DownloadApp(int& argc, char** argv);
  ~DownloadApp() override;

  PlatformKind platform_kind() const { return platform_kind_; }

  // Loads the settings, runs the main window until it ends, returns 0.
  int InitInstance(SettingsStore& settings, BoxSession& session);

 private:
  void WatchTerminationSignals();
  void OnTerminationSignal();

  const PlatformKind platform_kind_;
  int signal_pipe_[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> signal_notifier_;
  QPointer<DownloadDialog> dialog_;
};

}  // namespace ternis
