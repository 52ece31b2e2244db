#include "serve/image_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

namespace ternis::serve {

bool ImageWatch::Watch(const std::string& path) {
  fd_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd_.valid()) return false;
  // The file itself, not its folder: a change elsewhere is none of ours.
  constexpr std::uint32_t kMask =
      IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF;
  if (::inotify_add_watch(fd_.get(), path.c_str(), kMask) < 0) {
    fd_.reset();
    return false;
  }
  return true;
}

bool ImageWatch::Changed() {
  alignas(inotify_event) char buffer[4096];
  bool changed = false;
  for (;;) {
    const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (!(event->mask & IN_IGNORED)) changed = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return changed;
}

}  // namespace ternis::serve
