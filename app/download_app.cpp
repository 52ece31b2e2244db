#include "app/download_app.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QLoggingCategory>
#include <QMessageBox>

#include "app/download_dialog.h"
#include "app/settings_store.h"
#include "station/box_session.h"

Q_LOGGING_CATEGORY(lcApp, "ternis.app")

namespace ternis {

namespace {

int g_signal_write_fd = -1;

void OnSignal(int) {
  const char byte = 1;
  (void)!::write(g_signal_write_fd, &byte, 1);
}

void ShowMessage(const QString& text, const QString& detail) {
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Ternis Download Tool"), text,
                  QMessageBox::Ok);
  box.setInformativeText(detail);
  box.exec();
}

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
  WatchTerminationSignals();
}

DownloadApp::~DownloadApp() {
  signal_notifier_.reset();
  for (int fd : signal_pipe_)
    if (fd >= 0) ::close(fd);
}

// The handler only writes a byte; the event loop does the work.
void DownloadApp::WatchTerminationSignals() {
  if (::pipe2(signal_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
  g_signal_write_fd = signal_pipe_[1];
  signal_notifier_ = std::make_unique<QSocketNotifier>(signal_pipe_[0], QSocketNotifier::Read);
  connect(signal_notifier_.get(), &QSocketNotifier::activated, this,
          &DownloadApp::OnTerminationSignal);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void DownloadApp::OnTerminationSignal() {
  char bytes[16];
  while (::read(signal_pipe_[0], bytes, sizeof bytes) > 0) {
  }
  if (dialog_) {
    dialog_->EndProgram();
  } else {
    quit();
  }
}

int DownloadApp::InitInstance(SettingsStore& settings, BoxSession& session) {
  settings.Load();
  {
    DownloadDialog dialog(settings, session, ShowMessage);
    dialog_ = &dialog;
    dialog.Initialise();
    dialog.exec();
    dialog_ = nullptr;
  }  // the window goes: port closed, settings saved
  return 0;
}

}  // namespace ternis
