#include "app/window_link.h"

#include <QCoreApplication>
#include <QThread>
#include <QWidget>

namespace ternis {

const QEvent::Type WindowLink::kEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

namespace {
constexpr std::uint32_t kUpdateMessage = 0;  // not an SM_ number: "repaint now"
}

struct WindowLink::Pending {
  bool done = false;
  bool abandoned = false;  // the sender gave up; its pointers are gone
  std::intptr_t result = 0;
};

class WindowLink::MessageEvent : public QEvent {
 public:
  MessageEvent(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam,
               std::shared_ptr<Pending> pending = nullptr)
      : QEvent(kEventType),
        message(message),
        wparam(wparam),
        lparam(lparam),
        pending(std::move(pending)) {}
  std::uint32_t message;
  std::uintptr_t wparam;
  std::intptr_t lparam;
  std::shared_ptr<Pending> pending;
};

void WindowLink::post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
  QCoreApplication::postEvent(window_, new MessageEvent(message, wparam, lparam));
}

void WindowLink::update() {
  post(kUpdateMessage, 0, 0);
}

std::intptr_t WindowLink::send(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
  if (QThread::currentThread() == window_->thread()) return handler_(message, wparam, lparam);
  auto pending = std::make_shared<Pending>();
  std::unique_lock lock(mutex_);
  if (closing_) return 0;
  QCoreApplication::postEvent(window_, new MessageEvent(message, wparam, lparam, pending));
  answered_.wait(lock, [&] { return pending->done || closing_; });
  if (!pending->done) {
    pending->abandoned = true;
    return 0;
  }
  return pending->result;
}

void WindowLink::SetClosing(bool closing) {
  std::lock_guard lock(mutex_);
  closing_ = closing;
  answered_.notify_all();
}

bool WindowLink::Deliver(QEvent* event) {
  if (event->type() != kEventType) return false;
  auto* message = static_cast<MessageEvent*>(event);
  if (message->message == kUpdateMessage) {
    if (auto* widget = qobject_cast<QWidget*>(window_)) widget->repaint();
    return true;
  }
  if (!message->pending) {
    handler_(message->message, message->wparam, message->lparam);
    return true;
  }
  {
    std::lock_guard lock(mutex_);
    if (message->pending->abandoned || closing_) return true;
  }
  // The sender is still waiting (it can only give up once closing_ is set,
  // which this same thread does), so its pointers are valid here.
  const std::intptr_t result = handler_(message->message, message->wparam, message->lparam);
  std::lock_guard lock(mutex_);
  message->pending->result = result;
  message->pending->done = true;
  answered_.notify_all();
  return true;
}

}  // namespace ternis
