#include "app/download_app.h"

#include <sys/utsname.h>

#include <QMessageBox>
#include <cstdio>

#include "app/download_dialog.h"
#include "app/settings_store.h"
#include "protocol/trace.h"
#include "station/box_session.h"

namespace ternis {

namespace {

// The kernel's release numbers ("6.1.0-13-amd64" is 6, 1, 0), for the
// start-up trace; zeros when uname() fails.
struct OsVersion {
  int major = 0;
  int minor = 0;
  int build = 0;
};

OsVersion DetectOsVersion() {
  struct utsname name {};
  OsVersion version;
  if (::uname(&name) != 0) return version;
  std::sscanf(name.release, "%d.%d.%d", &version.major, &version.minor, &version.build);
  return version;
}

}  // namespace

DownloadApp::DownloadApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("ternis-download"));
  setApplicationDisplayName(QStringLiteral("Ternis Download Tool"));
  setDesktopFileName(QStringLiteral("ternis-download"));
  const OsVersion os = DetectOsVersion();
  TERNIS_TRACE("Window version : %d.%d Build %d\n", os.major, os.minor, os.build);
  // The trace's name for the one way the port is driven: poll() on
  // non-blocking descriptors.
  TERNIS_TRACE("Os platform : %s\n", "Windows NT/2000");

}

DownloadApp::~DownloadApp() = default;

void DownloadApp::SetTerminationHandler(std::function<void()> end, QWidget* main_window) {
  termination_.SetHandler(std::move(end), main_window);
}

// Once a termination signal has come, a message box would only hold the
// program up: it is logged (by the caller) and not shown.
void DownloadApp::ShowMessage(const QString& text, const QString& detail) {
  if (ending()) return;
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Ternis Download Tool"), text,
                  QMessageBox::Ok);
  box.setInformativeText(detail);
  box.exec();
}

int DownloadApp::InitInstance(SettingsStore& settings, BoxSession& session) {
  settings.Load();
  {
    DownloadDialog dialog(settings, session, [this](const QString& text, const QString& detail) {
      ShowMessage(text, detail);
    });
    SetTerminationHandler([&dialog] { dialog.EndProgram(); }, &dialog);
    dialog.Initialise();
    // A signal during the start-up (a message box) ends it before it is shown.
    if (ending()) {
      dialog.EndProgram();
    } else {
      dialog.exec();
    }
    SetTerminationHandler(nullptr);
  }  // the window goes: port closed, settings saved
  return 0;
}

}  // namespace ternis
