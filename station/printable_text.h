#pragma once
// Text from outside (another process's command line, names from udev, file
// names, slot names read from a file) made safe to print: a control
// character or a byte that is not part of valid UTF-8 becomes an escape
// ("\n", "\x1b", "\xff", "\u009b"), so such text can neither forge a line in
// a log or the journal nor drive a terminal. Anything else passes unchanged,
// backslashes included, so escaping twice changes nothing.

#include <string>
#include <string_view>

namespace ternis {

std::string PrintableText(std::string_view text);

}  // namespace ternis
