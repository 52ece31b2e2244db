#include "serve/serve_options.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

namespace ternis::serve {

const char kServeUsage[] =
    "Usage: ternis-serve --file PATH [OPTIONS] [NAME=]DEVICE...\n"
    "Serves one image file to set-top boxes on serial lines, one box at a time\n"
    "per DEVICE, all devices at once: unit after unit until stopped.\n"
    "\n"
    "  -f, --file PATH       the image (key file or firmware) to serve; required\n"
    "  -b, --baud N          baud rate (default 115200; any rate the adapter takes)\n"
    "  -d, --data N          data bits, 5 to 8 (default 8)\n"
    "  -p, --parity P        none, odd, even, mark or space (default none)\n"
    "  -s, --stop S          stop bits: 1 or 2 (default 1; 1.5 cannot be set on\n"
    "                        Linux)\n"
    "      --once            serve one unit per slot, then exit\n"
    "      --unit-timeout SECS  a booted box that asks nothing for SECS seconds\n"
    "                        fails (default 30; 0 = never)\n"
    "      --timeout SECS    give up after SECS seconds; units in progress are\n"
    "                        recorded as aborted\n"
    "      --record FILE     append one JSON object per line for every unit that\n"
    "                        ends, on disk before the result is shown (created\n"
    "                        with mode 0640)\n"
    "      --json            events on stdout, one JSON object per line\n"
    "  -v, --verbose         a line for every frame\n"
    "  -h, --help            show this help\n"
    "\n"
    "NAME=DEVICE names a slot (letters, digits, '-', '_', '.'); without a name\n"
    "the slot is called by its device. Every line and record carries it. Use\n"
    "stable names such as /dev/serial/by-path/... for a station.\n"
    "\n"
    "A unit is one box's run from its boot-up to its result. It passes when the\n"
    "box asks for the time after every byte of the image was served to it; it\n"
    "fails when the device is lost, the box stops asking, a reply cannot be\n"
    "written, or the box finishes with bytes missing. A device that is missing,\n"
    "or unplugged, is waited for; the other slots serve on.\n"
    "\n"
    "Human-readable lines go to stderr: on a terminal a live view with a row\n"
    "per slot, otherwise timestamped lines. SIGHUP reloads the file for units\n"
    "that start after it.\n"
    "\n"
    "Exit status: 0 when every unit that started passed and none was cut short\n"
    "(with --once: every slot passed); 1 when a unit failed or the file cannot\n"
    "be loaded; 2 for bad arguments; 3 when --timeout passed before every slot\n"
    "had a result (--once), or cut a unit short; 130 or 143 when SIGINT or\n"
    "SIGTERM cut a unit short (it is recorded as aborted).\n";

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

bool IsSlotName(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '_' || c == '.';
  });
}

bool CheckUnique(const std::vector<SlotSpec>& slots, std::string& error) {
  std::set<std::string> names, devices;
  for (const SlotSpec& slot : slots) {
    if (!names.insert(slot.name).second) {
      error = "slot \"" + slot.name + "\" given twice";
      return false;
    }
    if (!devices.insert(slot.device).second) {
      error = "device " + slot.device + " given twice";
      return false;
    }
  }
  return true;
}

}  // namespace

ParseOutcome ParseServeOptions(int argc, char** argv, ServeOptions& options, std::string& error) {
  enum { kOnce = 256, kTimeout, kUnitTimeout, kRecord, kJson };
  static const option kLong[] = {{"file", required_argument, nullptr, 'f'},
                                 {"baud", required_argument, nullptr, 'b'},
                                 {"data", required_argument, nullptr, 'd'},
                                 {"parity", required_argument, nullptr, 'p'},
                                 {"stop", required_argument, nullptr, 's'},
                                 {"once", no_argument, nullptr, kOnce},
                                 {"timeout", required_argument, nullptr, kTimeout},
                                 {"unit-timeout", required_argument, nullptr, kUnitTimeout},
                                 {"record", required_argument, nullptr, kRecord},
                                 {"json", no_argument, nullptr, kJson},
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
      case kRecord:
        if (!*optarg) {
          error = "--record takes a file name";
          return ParseOutcome::kBadArguments;
        }
        options.record_path = optarg;
        break;
      case kJson:
        options.json = true;
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
  if (options.file.empty()) {
    error = "--file is required";
    return ParseOutcome::kBadArguments;
  }
  if (ValidateLineSettings(options.line) != 0) {
    error = "--stop 1.5 cannot be set on Linux";  // the one value the parser lets through
    return ParseOutcome::kBadArguments;
  }
  for (int i = optind; i < argc; ++i) {
    SlotSpec slot;
    if (!ParseSlot(argv[i], slot, error)) return ParseOutcome::kBadArguments;
    options.slots.push_back(std::move(slot));
  }
  if (options.slots.empty()) {
    error = "name at least one DEVICE, such as /dev/ttyUSB0";
    return ParseOutcome::kBadArguments;
  }
  if (!CheckUnique(options.slots, error)) return ParseOutcome::kBadArguments;
  return ParseOutcome::kRun;
}

bool ParseSlot(const std::string& argument, SlotSpec& slot, std::string& error) {
  const auto equals = argument.find('=');
  const bool named =
      equals != std::string::npos && argument.substr(0, equals).find('/') == std::string::npos;
  slot.name = named ? argument.substr(0, equals) : argument;
  slot.device = named ? argument.substr(equals + 1) : argument;
  if (slot.device.empty()) {
    error = "no device for slot \"" + slot.name + "\"";
    return false;
  }
  if (named && !IsSlotName(slot.name)) {
    error = "a slot name takes letters, digits, '-', '_' and '.': \"" + slot.name + "\"";
    return false;
  }
  return true;
}

}  // namespace ternis::serve
