#pragma once
// The main window's side of the OwnerWindow contract. The receive thread
// posts and sends; everything is delivered as an event to the window on
// its own thread. A send waits for the window's answer, but gives up (0)
// as soon as the link starts closing, so a window that is waiting for the
// receive thread to end never waits on a thread that waits on it.

#include <QEvent>
#include <QObject>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "app/owner_window.h"

namespace ternis {

class WindowLink : public OwnerWindow {
 public:
  // Runs on the window's thread; returns the message's result.
  using Handler = std::function<std::intptr_t(std::uint32_t, std::uintptr_t, std::intptr_t)>;

  static const QEvent::Type kEventType;

  WindowLink(QObject* window, Handler handler) : window_(window), handler_(std::move(handler)) {}

  void post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) override;
  std::intptr_t send(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) override;
  void update() override;

  // While set, pending and new sends return 0 at once. Set it before
  // closing the port, clear it after.
  void SetClosing(bool closing);

  // The window calls this from event() for events of kEventType; true when handled.
  bool Deliver(QEvent* event);

 private:
  struct Pending;
  class MessageEvent;

  QObject* window_;
  Handler handler_;
  std::mutex mutex_;
  std::condition_variable answered_;
  bool closing_ = false;
};

}  // namespace ternis
