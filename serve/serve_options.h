#pragma once
// Command line of ternis-serve.

#include <optional>
#include <string>
#include <vector>

#include "link/line_settings.h"

namespace ternis::serve {

struct ServeOptions {
  std::string file;
  LineSettings line;  // 115200 8N1 unless told otherwise
  bool once = false;
  std::optional<double> timeout_seconds;
  double unit_timeout_seconds = 30;  // 0: never
  bool verbose = false;
  std::vector<std::string> devices;
};

enum class ParseOutcome { kRun, kHelp, kBadArguments };

// Fills options from argv; on kBadArguments, error says what is wrong.
ParseOutcome ParseServeOptions(int argc, char** argv, ServeOptions& options, std::string& error);

extern const char kServeUsage[];

}  // namespace ternis::serve
