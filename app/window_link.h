#pragma once
// The main window's side of the OwnerWindow contract. The receive thread
// posts; messages queue here, texts as their own copies, and reach the
// window on its own thread in the order posted. Nothing waits for the
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
#include <optional>

#include "app/owner_window.h"

namespace ternis {

class WindowLink : public OwnerWindow {
 public:
  // Runs on the window's thread.
  using Handler = std::function<void(std::uint32_t, std::uintptr_t, std::intptr_t)>;

  static const QEvent::Type kEventType;
  static constexpr std::chrono::milliseconds kBatchInterval{20};

  // Constructed on the window's thread.
  WindowLink(QObject* window, Handler handler);

  void post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) override;
  void postText(std::uint32_t message, std::uintptr_t wparam, std::string text) override;
  void update() override;

  // The window calls this from event(); true when it was the link's event.
  bool Deliver(QEvent* event);
  // Handles everything queued now, without waiting for the next batch.
  void Flush() { Drain(); }

 private:
  struct Message {
    std::uint32_t message;
    std::uintptr_t wparam;
    std::intptr_t lparam;
    std::optional<std::string> text;
  };

  void Queue(Message message);
  // Handles what is queued, in order; false when there was nothing.
  bool Drain();
  void Handle(const Message& message);

  QObject* window_;
  Handler handler_;
  QTimer next_batch_;
  std::mutex mutex_;
  std::deque<Message> queue_;
  bool awake_ = false;  // the window will look at the queue; posting needs no wake
};

}  // namespace ternis
