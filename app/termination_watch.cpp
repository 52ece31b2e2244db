#include "app/termination_watch.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cstring>

namespace ternis {

namespace {

int g_signal_write_fd = -1;
std::atomic<bool> g_signalled{false};  // lock-free: safe in a handler
static_assert(std::atomic<bool>::is_always_lock_free);

void Say(const char* text) { (void)!::write(STDERR_FILENO, text, std::strlen(text)); }

// The first signal asks for the orderly ending; a second one, should that
// ending hang, ends the program here and now, as terminal programs do.
void OnSignalHandler(int signal) {
  if (g_signalled.exchange(true)) {
    Say(signal == SIGINT ? "ternis-download: second SIGINT while ending: ending at once\n"
                         : "ternis-download: second SIGTERM while ending: ending at once\n");
    ::_exit(128 + signal);
  }
  const char byte = 1;
  (void)!::write(g_signal_write_fd, &byte, 1);
}

}  // namespace

TerminationWatch::TerminationWatch(QObject* parent) : QObject(parent) {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
  g_signal_write_fd = pipe_[1];
  g_signalled = false;
  notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationWatch::OnSignal);
  struct sigaction action {};
  action.sa_handler = OnSignalHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

TerminationWatch::~TerminationWatch() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  g_signal_write_fd = -1;
  notifier_.reset();
  for (int fd : pipe_)
    if (fd >= 0) ::close(fd);
}

void TerminationWatch::SetHandler(std::function<void()> end, QWidget* main_window) {
  end_ = std::move(end);
  main_window_ = main_window;
}

void TerminationWatch::OnSignal() {
  char bytes[16];
  while (::read(pipe_[0], bytes, sizeof bytes) > 0) {
  }
  if (ending_) return;
  ending_ = true;
  emit terminationRequested();
  Finish();
}

// A nested loop only returns once control is back in the code that
// started it, so each dialog is closed on its own turn of the loop below it.
void TerminationWatch::Finish() {
  if (ended_) return;
  QWidget* modal = QApplication::activeModalWidget();
  if (modal != nullptr && modal != main_window_) {
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->done(QDialog::Rejected);
    } else {
      modal->close();
    }
    QTimer::singleShot(10, this, &TerminationWatch::Finish);
    return;
  }
  ended_ = true;
  if (end_) {
    end_();
  } else {
    QCoreApplication::quit();
  }
}

}  // namespace ternis
