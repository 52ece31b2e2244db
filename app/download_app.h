#pragma once
// The program's life: loads the settings,
// runs the main window modally, and tears down in order. SIGINT and SIGTERM
// end it through the same orderly path as the close button, also from
// inside a message box, the panel or the file dialog.

#include <QApplication>
#include <functional>

#include "app/termination_watch.h"

namespace ternis {

class DownloadDialog;
class BoxSession;
class SettingsStore;

class DownloadApp : public QApplication {
  Q_OBJECT

 public:
  DownloadApp(int& argc, char** argv);
  ~DownloadApp() override;

  // Loads the settings, runs the main window until it ends, returns 0.
  int InitInstance(SettingsStore& settings, BoxSession& session);

  // What a termination signal runs once the nested dialogs are closed (the
  // station window's ending); `main_window` is not closed as a nested one.
  void SetTerminationHandler(std::function<void()> end, QWidget* main_window = nullptr);
  // A termination signal has come: nothing new is shown.
  bool ending() const { return termination_.ending(); }

 private:
  void ShowMessage(const QString& text, const QString& detail);

  TerminationWatch termination_;
};

}  // namespace ternis
