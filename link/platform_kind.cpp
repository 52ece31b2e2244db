#include "link/platform_kind.h"

#include <sys/utsname.h>

namespace ternis {

PlatformKind DetectPlatformKind() {
  struct utsname name {};
  if (::uname(&name) != 0) return kPlatformNone;
  return kPlatformAsync;  // every POSIX kernel we run on has poll() on ttys
}

}  // namespace ternis
