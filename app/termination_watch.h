#pragma once
// SIGINT and SIGTERM end the program the orderly way, wherever it is: the
// handler only writes a byte to a pipe; the event loop that reads it (the
// main one or a nested one: a message box, the panel, the file dialog)
// closes the nested dialogs first, and once their loops have unwound runs
// the program's own ending (teardown, save). A second signal ends the
// program at once (exit 128 + signal), saying so on stderr: the ending may hang.

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <functional>
#include <memory>

class QWidget;

namespace ternis {

class TerminationWatch : public QObject {
  Q_OBJECT

 public:
  explicit TerminationWatch(QObject* parent = nullptr);
  ~TerminationWatch() override;

  // What ends the program, and its main window (a modal dialog of its own
  // that is not closed as a nested one). No handler: the application quits.
  void SetHandler(std::function<void()> end, QWidget* main_window = nullptr);
  // A signal has come: show nothing new, wait for nothing.
  bool ending() const { return ending_; }

 signals:
  void terminationRequested();

 private:
  void OnSignal();
  // Closes the innermost nested dialog, or ends when none is left.
  void Finish();

  int pipe_[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> notifier_;
  std::function<void()> end_;
  QPointer<QWidget> main_window_;
  bool ending_ = false;
  bool ended_ = false;
};

}  // namespace ternis
