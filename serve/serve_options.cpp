#include "serve/serve_options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

namespace ternis::serve {

const char kServeUsage[] =
    "Usage: ternis-serve --file PATH [OPTIONS] DEVICE...\n"
    "Serves one image file to set-top boxes on serial lines, one box per DEVICE,\n"
    "all at once, until interrupted.\n"
    "\n"
    "  -f, --file PATH       the image (key file or firmware) to serve; required\n"
    "  -b, --baud N          baud rate (default 115200; any rate the adapter takes)\n"
    "  -d, --data N          data bits, 5 to 8 (default 8)\n"
    "  -p, --parity P        none, odd, even, mark or space (default none)\n"
    "  -s, --stop S          stop bits: 1, 1.5 or 2 (default 1; 1.5 cannot be set\n"
    "                        on Linux and is refused by the port)\n"
    "      --once            serve one unit per device, then exit: 0 when every\n"
    "                        unit passed (the box asked for the time after every\n"
    "                        byte of the image was served), else 1\n"
    "      --unit-timeout SECS  a box that asks nothing for SECS seconds in the\n"
    "                        middle of a unit fails (default 30; 0 = never)\n"
    "      --timeout SECS    give up after SECS seconds: units in progress are\n"
    "                        aborted; exit 1 unless every device has a result\n"
    "  -v, --verbose         show every status line, not only the notable ones\n"
    "  -h, --help            show this help\n"
    "\n"
    "Progress goes to stderr: a live line per port on a terminal, otherwise a\n"
    "line per port at most every 10 %. Status lines are prefixed by the device.\n"
    "A device that goes away is reopened when it comes back.\n"
    "\n"
    "A unit is one box's run from its boot-up to its result: it passes when the\n"
    "box asks for the time after every byte of the image was served to it, and\n"
    "fails when the device is lost, the box goes quiet or a reply cannot be\n"
    "written. Each result is printed with its reason.\n"
    "\n"
    "Exit status: 0 when stopped by SIGINT or SIGTERM, or when every unit passed\n"
    "with --once; 1 when a unit failed with --once, a device cannot be opened or\n"
    "configured, the file cannot be loaded, or --timeout passed; 2 for bad\n"
    "arguments.\n";

namespace {

bool ParseUnsigned(const char* text, unsigned long max, unsigned long& value) {
  if (!text || !*text || *text == '-') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 10);
  return errno == 0 && *end == '\0' && value <= max;
}

bool ParseParity(const std::string& text, std::uint8_t& parity) {
  static const std::map<std::string, std::uint8_t> kNames = {{"none", kParityNone},
                                                             {"odd", kParityOdd},
                                                             {"even", kParityEven},
                                                             {"mark", kParityMark},
                                                             {"space", kParitySpace}};
  const auto it = kNames.find(text);
  if (it == kNames.end()) return false;
  parity = it->second;
  return true;
}

bool ParseStop(const std::string& text, std::uint8_t& stop) {
  if (text == "1")
    stop = kStopOne;
  else if (text == "1.5")
    stop = kStopOneAndHalf;
  else if (text == "2")
    stop = kStopTwo;
  else
    return false;
  return true;
}

bool ParseSeconds(const char* text, double& seconds, bool zero_allowed = false) {
  char* end = nullptr;
  errno = 0;
  seconds = std::strtod(text, &end);
  const bool in_range = zero_allowed ? seconds >= 0 : seconds > 0;
  return errno == 0 && end != text && *end == '\0' && std::isfinite(seconds) && in_range &&
         seconds < 1e9;
}

}  // namespace

ParseOutcome ParseServeOptions(int argc, char** argv, ServeOptions& options, std::string& error) {
  enum { kOnce = 256, kTimeout, kUnitTimeout };
  static const option kLong[] = {{"file", required_argument, nullptr, 'f'},
                                 {"baud", required_argument, nullptr, 'b'},
                                 {"data", required_argument, nullptr, 'd'},
                                 {"parity", required_argument, nullptr, 'p'},
                                 {"stop", required_argument, nullptr, 's'},
                                 {"once", no_argument, nullptr, kOnce},
                                 {"timeout", required_argument, nullptr, kTimeout},
                                 {"unit-timeout", required_argument, nullptr, kUnitTimeout},
                                 {"verbose", no_argument, nullptr, 'v'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  optind = 1;
  opterr = 0;
  unsigned long number = 0;
  double seconds = 0;
  for (int c; (c = getopt_long(argc, argv, "f:b:d:p:s:vh", kLong, nullptr)) != -1;) {
    switch (c) {
      case 'f':
        options.file = optarg;
        break;
      case 'b':
        if (!ParseUnsigned(optarg, 0xFFFFFFFFul, number) || number == 0) {
          error = "--baud takes a rate in bits per second, such as 115200";
          return ParseOutcome::kBadArguments;
        }
        options.line.baud = static_cast<std::uint32_t>(number);
        break;
      case 'd':
        if (!ParseUnsigned(optarg, 8, number) || number < 5) {
          error = "--data takes 5, 6, 7 or 8";
          return ParseOutcome::kBadArguments;
        }
        options.line.data_bits = static_cast<std::uint8_t>(number);
        break;
      case 'p':
        if (!ParseParity(optarg, options.line.parity)) {
          error = "--parity takes none, odd, even, mark or space";
          return ParseOutcome::kBadArguments;
        }
        break;
      case 's':
        if (!ParseStop(optarg, options.line.stop_bits)) {
          error = "--stop takes 1, 1.5 or 2";
          return ParseOutcome::kBadArguments;
        }
        break;
      case kOnce:
        options.once = true;
        break;
      case kTimeout:
        if (!ParseSeconds(optarg, seconds)) {
          error = "--timeout takes a number of seconds greater than 0";
          return ParseOutcome::kBadArguments;
        }
        options.timeout_seconds = seconds;
        break;
      case kUnitTimeout:
        if (!ParseSeconds(optarg, seconds, true)) {
          error = "--unit-timeout takes a number of seconds (0 for never)";
          return ParseOutcome::kBadArguments;
        }
        options.unit_timeout_seconds = seconds;
        break;
      case 'v':
        options.verbose = true;
        break;
      case 'h':
        return ParseOutcome::kHelp;
      default:
        error = optopt ? std::string("unknown option or missing value: -") + char(optopt)
                       : std::string("unknown option or missing value: ") + argv[optind - 1];
        return ParseOutcome::kBadArguments;
    }
  }
  options.devices.assign(argv + optind, argv + argc);
  if (options.file.empty()) {
    error = "--file is required";
    return ParseOutcome::kBadArguments;
  }
  if (options.devices.empty()) {
    error = "name at least one DEVICE, such as /dev/ttyUSB0";
    return ParseOutcome::kBadArguments;
  }
  return ParseOutcome::kRun;
}

}  // namespace ternis::serve
