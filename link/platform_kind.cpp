#include "link/platform_kind.h"

#include <sys/utsname.h>

#include <cstdio>

namespace ternis {

PlatformKind DetectPlatformKind() {
  struct utsname name {};
  if (::uname(&name) != 0) return kPlatformNone;
  return kPlatformAsync;  // every POSIX kernel we run on has poll() on ttys
}

OsVersion DetectOsVersion() {
  struct utsname name {};
  OsVersion version;
  if (::uname(&name) != 0) return version;
  std::sscanf(name.release, "%d.%d.%d", &version.major, &version.minor, &version.build);
  return version;
}

const char* PlatformTraceName(int kind) {
  switch (kind) {
    case 0:
      return "Win32s";
    case 1:
      return "Windows 9x";
    case 2:
      return "Windows NT/2000";
    default:
      return "";
  }
}

}  // namespace ternis
