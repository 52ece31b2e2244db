#include "app/window_link.h"

#include <QCoreApplication>
#include <QWidget>
#include <optional>

namespace ternis {

const QEvent::Type WindowLink::kEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

WindowLink::WindowLink(QObject* window, Handler handler)
    : window_(window), handler_(std::move(handler)) {
  next_batch_.setSingleShot(true);
  next_batch_.setInterval(kBatchInterval);
  QObject::connect(&next_batch_, &QTimer::timeout, window_, [this] {
    if (Drain()) next_batch_.start();
  });
}

void WindowLink::Post(WindowMessage message) {
  bool wake;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(message));
    wake = !std::exchange(awake_, true);
  }
  if (wake) QCoreApplication::postEvent(window_, new QEvent(kEventType));
}

// After a batch, the next one is due after the interval: the box may
// well have more to say.
bool WindowLink::Deliver(QEvent* event) {
  if (event->type() != kEventType) return false;
  if (Drain()) next_batch_.start();
  return true;
}

// One message at a time off the front, so a handler that turns the event
// loop (and so may come back here) keeps the order. Finding nothing, the
// link goes back to waking the window at the next message.
bool WindowLink::Drain() {
  bool any = false;
  for (;;) {
    std::optional<WindowMessage> message;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) {
        if (!any) awake_ = false;
        return any;
      }
      message = std::move(queue_.front());
      queue_.pop_front();
    }
    any = true;
    Handle(*message);
  }
}

void WindowLink::Handle(const WindowMessage& message) {
  if (std::holds_alternative<RepaintEvent>(message)) {
    if (auto* widget = qobject_cast<QWidget*>(window_)) widget->update();
    return;
  }
  handler_(message);
}

}  // namespace ternis
