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

}  // namespace ternis
