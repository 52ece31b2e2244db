#include "app/download_app.h"

#include <QLoggingCategory>
#include <QMessageBox>

#include "app/download_dialog.h"
#include "app/settings_store.h"
#include "protocol/trace.h"
#include "station/box_session.h"

Q_LOGGING_CATEGORY(lcApp, "ternis.app")

namespace ternis {

namespace {

const char* PlatformName(PlatformKind kind) {
  switch (kind) {
    case kPlatformNone:
      return "none (the port cannot be opened)";
    case kPlatformBlocking:
      return "blocking port I/O";
    case kPlatformAsync:
      return "asynchronous port I/O";
  }
  return "";
}

}  // namespace

DownloadApp::DownloadApp(int& argc, char** argv)
    : QApplication(argc, argv), platform_kind_(DetectPlatformKind()) {
  setApplicationName(QStringLiteral("ternis-download"));
  setApplicationDisplayName(QStringLiteral("Ternis Download Tool"));
  setDesktopFileName(QStringLiteral("ternis-download"));
  qCDebug(lcApp, "platform kind %d: %s", platform_kind_, PlatformName(platform_kind_));
  const OsVersion os = DetectOsVersion();
  TERNIS_TRACE("Window version : %d.%d Build %d\n", os.major, os.minor, os.build);
  TERNIS_TRACE("Os platform : %s\n", PlatformTraceName(platform_kind_));
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
