#pragma once
// How the port is driven. Kinds 1 and 2 can open a port; any other cannot.
// On Linux we record 2 (asynchronous port I/O: non-blocking descriptors and
// poll), the one I/O path there is.

namespace ternis {

enum PlatformKind : int {
  kPlatformNone = 0,      // cannot drive a port
  kPlatformBlocking = 1,  // plain blocking port I/O
  kPlatformAsync = 2,     // asynchronous port I/O
};

// Asks uname(); kPlatformNone if the system cannot be identified.
PlatformKind DetectPlatformKind();

// The kernel's release numbers ("6.1.0-13-amd64" is 6, 1, 0), for the
// start-up trace; zeros when uname() fails.
struct OsVersion {
  int major = 0;
  int minor = 0;
  int build = 0;
};
OsVersion DetectOsVersion();

// The platform's name as the start-up trace gives it: "Win32s", "Windows
// 9x", "Windows NT/2000" for the kinds 0, 1, 2, nothing for others.
const char* PlatformTraceName(int kind);

}  // namespace ternis
