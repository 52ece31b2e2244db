#pragma once
// The main window's side of the OwnerWindow contract: its one queue. The
// receive thread posts typed messages (texts as their own copies), and they
// reach the window on its own thread in the order posted; a repaint request
// is done here, everything else goes to the handler. Nothing waits for the
// window, and closing the port never waits on it.
//
// The first message after a quiet spell wakes the window at once; while
// messages keep coming it handles them in batches, kBatchInterval apart,
// so a fast box wakes the window some 50 times a second instead of once per
// request, and the two threads do not keep taking the CPU from each other.

#include <QEvent>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>

#include "app/owner_window.h"

namespace ternis {

class WindowLink : public OwnerWindow {
 public:
  // Runs on the window's thread.
  using Handler = std::function<void(const WindowMessage&)>;

  static const QEvent::Type kEventType;
  static constexpr std::chrono::milliseconds kBatchInterval{20};

  // Constructed on the window's thread.
  WindowLink(QObject* window, Handler handler);

  void Post(WindowMessage message) override;

  // The window calls this from event(); true when it was the link's event.
  bool Deliver(QEvent* event);
  // Handles everything queued now, without waiting for the next batch.
  void Flush() { Drain(); }

 private:
  // Handles what is queued, in order; false when there was nothing.
  bool Drain();
  void Handle(const WindowMessage& message);

  QObject* window_;
  Handler handler_;
  QTimer next_batch_;
  std::mutex mutex_;
  std::deque<WindowMessage> queue_;
  bool awake_ = false;  // the window will look at the queue; posting needs no wake
};

}  // namespace ternis
