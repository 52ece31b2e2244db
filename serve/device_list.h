#pragma once
// ternis-serve --list: every serial device with its stable names, what it
// is, and whether it can be used now. The check does not open the device
// (an open raises DTR and RTS, which resets some boards): it looks at the
// permissions and at which processes hold it.

#include <cstdio>

namespace ternis::serve {

// Prints the list (JSON lines with `json`); returns the exit status.
int ListDevices(std::FILE* out, bool json);

}  // namespace ternis::serve
