#include "serve/serve_options.h"

#include "serve/station_config.h"
#include "station/station_database.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#ifndef TERNIS_VERSION
#define TERNIS_VERSION "0"
#endif

namespace ternis::serve {

const char kServeUsage[] =
    "Usage: ternis-serve --file PATH [OPTIONS] [NAME=]DEVICE...\n"
    "       ternis-serve --key-pool DIR [OPTIONS] [NAME=]DEVICE...\n"
    "       ternis-serve --config FILE [OPTIONS] [[NAME=]DEVICE...]\n"
    "       ternis-serve --key-pool DIR (--pool-status [--json] | --pool-return NAME)\n"
    "       ternis-serve --key-pool URI --pool-import DIR\n"
    "       ternis-serve --db-init URI\n"
    "       ternis-serve --list [--json]\n"
    "Serves one image file to set-top boxes on serial lines, one box at a time\n"
    "per DEVICE, all devices at once: unit after unit until stopped.\n"
    "\n"
    "  -f, --file PATH       the image (key file or firmware) to serve to every box\n"
    "      --key-pool DIR    instead of --file: a folder of key files, each served\n"
    "                        to one box only (ready/, issued/, used/, spoiled/);\n"
    "                        implies --key\n"
    "      --pool-low N      warn once when N keys are left in ready/ (default 10)\n"
    "      --pool-status     print the pool's counts (--json: as one object), exit\n"
    "      --pool-return NAME  move the key NAME from spoiled/ back to ready/, exit\n"
    "      --key-pool postgresql://...  a pool in PostgreSQL shared by many\n"
    "                        stations; the records go there too (the password\n"
    "                        from ~/.pgpass or PGPASSFILE, never the command line)\n"
    "      --db-init URI     create the database's tables, exit\n"
    "      --pool-import DIR  load DIR's key files into the database pool, exit\n"
    "      --silent-for SECS  --pool-status lists the keys issued to stations not\n"
    "                        heard from for SECS seconds (default 600)\n"
    "      --station-name NAME  this station, in every record and key state\n"
    "                        (default: the host name)\n"
    "      --db-spool FILE   where ends wait while the database is away (default:\n"
    "                        $STATE_DIRECTORY, else ~/.local/state/ternis)\n"
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
    "                        with mode 0640); --record postgresql://...: to a\n"
    "                        database\n"
    "      --json            events on stdout, one JSON object per line (with\n"
    "                        --list: one object per device)\n"
    "      --config FILE     the station from an INI file: [station] takes these\n"
    "                        options by their long names, [slots] takes NAME =\n"
    "                        DEVICE lines; options and slots given here win\n"
    "      --key             the file is a security key: warn about loose\n"
    "                        permissions, keep it out of core dumps and swap\n"
    "      --journal         results to the systemd journal too (automatic when\n"
    "                        started by systemd)\n"
    "      --list            list the serial devices, their stable names and\n"
    "                        whether each can be opened now, and exit\n"
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
    "(with --once: every slot passed); 1 when a unit failed or the file or key\n"
    "pool cannot be used; 2 for bad arguments; 3 when --timeout passed before every slot\n"
    "had a result (--once), or cut a unit short; 130 or 143 when SIGINT or\n"
    "SIGTERM cut a unit short (it is recorded as aborted).\n";

namespace {

bool ParseUnsigned(const std::string& text, unsigned long max, unsigned long& value) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value <= max;
}

bool ParseSeconds(const std::string& text, double& seconds, bool zero_allowed) {
  char* end = nullptr;
  errno = 0;
  seconds = std::strtod(text.c_str(), &end);
  const bool in_range = zero_allowed ? seconds >= 0 : seconds > 0;
  return errno == 0 && end != text.c_str() && *end == '\0' && std::isfinite(seconds) &&
         in_range && seconds < 1e9;
}

bool ParseFlag(const std::string& text, bool& flag) {
  static const std::map<std::string, bool> kWords = {{"", true},     {"true", true}, {"yes", true},
                                                     {"on", true},   {"1", true},    {"false", false},
                                                     {"no", false},  {"off", false}, {"0", false}};
  const auto it = kWords.find(text);
  if (it == kWords.end()) return false;
  flag = it->second;
  return true;
}

// "$CREDENTIALS_DIRECTORY/NAME" (or "${CREDENTIALS_DIRECTORY}/NAME"), as the
// station file names a key handed to the service by LoadCredential=; false
// when it says so but the variable is not set.
bool ExpandCredentials(std::string& path) {
  for (const std::string_view prefix : {"$CREDENTIALS_DIRECTORY/", "${CREDENTIALS_DIRECTORY}/"}) {
    if (!path.starts_with(prefix)) continue;
    const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
    if (folder == nullptr || *folder == '\0') return false;
    path = std::string(folder) + "/" + path.substr(prefix.size());
  }
  return true;
}

// "--config FILE" or "--config=FILE" anywhere before a lone "--".
std::optional<std::string> ConfigPath(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg == "--config" && i + 1 < argc) return std::string(argv[i + 1]);
    if (arg.rfind("--config=", 0) == 0) return arg.substr(9);
  }
  return std::nullopt;
}

}  // namespace

bool ApplySetting(ServeOptions& o, const std::string& written, const std::string& value,
                  std::string& error) {
  std::string name = written;
  std::replace(name.begin(), name.end(), '_', '-');
  unsigned long number = 0;
  double seconds = 0;
  bool flag = false;
  auto fail = [&](const std::string& what) {
    error = "--" + name + " " + what;
    return false;
  };
  if (name == "file") {
    if (value.empty()) return fail("takes a file name");
    o.file = value;
    if (!ExpandCredentials(o.file))
      return fail("names $CREDENTIALS_DIRECTORY, which is not set: LoadCredential= in the "
                  "service sets it");
  } else if (name == "baud") {
    if (!ParseUnsigned(value, 0xFFFFFFFFul, number) || number == 0)
      return fail("takes a rate in bits per second, such as 115200");
    o.line.baud = static_cast<std::uint32_t>(number);
  } else if (name == "data") {
    if (!ParseUnsigned(value, 8, number) || number < 5) return fail("takes 5, 6, 7 or 8");
    o.line.data_bits = static_cast<std::uint8_t>(number);
  } else if (name == "parity") {
    static const std::map<std::string, std::uint8_t> kParities = {{"none", kParityNone},
                                                                  {"odd", kParityOdd},
                                                                  {"even", kParityEven},
                                                                  {"mark", kParityMark},
                                                                  {"space", kParitySpace}};
    const auto it = kParities.find(value);
    if (it == kParities.end()) return fail("takes none, odd, even, mark or space");
    o.line.parity = it->second;
  } else if (name == "stop") {
    if (value == "1.5") return fail("1.5 cannot be set on Linux");
    if (value != "1" && value != "2") return fail("takes 1 or 2");
    o.line.stop_bits = value == "1" ? kStopOne : kStopTwo;
  } else if (name == "timeout") {
    if (!ParseSeconds(value, seconds, false)) return fail("takes a number of seconds greater than 0");
    o.timeout_seconds = seconds;
  } else if (name == "unit-timeout") {
    if (!ParseSeconds(value, seconds, true)) return fail("takes a number of seconds (0 for never)");
    o.unit_timeout_seconds = seconds;
  } else if (name == "key-pool") {
    if (value.empty()) return fail("takes a folder");
    o.key_pool = value;
    o.key = true;
  } else if (name == "pool-low") {
    if (!ParseUnsigned(value, 1000000000ul, number)) return fail("takes a number of keys");
    o.pool_low = number;
  } else if (name == "record") {
    if (value.empty()) return fail("takes a file name");
    o.record_path = value;
  } else if (name == "station-name") {
    if (value.empty()) return fail("takes a name");
    o.station_name = value;
  } else if (name == "db-spool") {
    if (value.empty()) return fail("takes a file name");
    o.db_spool = value;
  } else if (name == "silent-for") {
    if (!ParseSeconds(value, seconds, true)) return fail("takes a number of seconds");
    o.silent_for = seconds;
  } else if (name == "once" || name == "json" || name == "verbose" || name == "key" ||
             name == "journal") {
    if (!ParseFlag(value, flag)) return fail("takes true or false");
    (name == "once"      ? o.once
     : name == "json"    ? o.json
     : name == "verbose" ? o.verbose
     : name == "key"     ? o.key
                         : o.journal) = flag;
  } else {
    error = "unknown setting \"" + written + "\"";
    return false;
  }
  return true;
}

ParseOutcome ParseServeOptions(int argc, char** argv, ServeOptions& options, std::string& error) {
  if (const auto config = ConfigPath(argc, argv)) {
    if (!LoadStationConfig(*config, options, error)) return ParseOutcome::kBadConfig;
  }
  static const option kLong[] = {{"file", required_argument, nullptr, 'f'},
                                 {"baud", required_argument, nullptr, 'b'},
                                 {"data", required_argument, nullptr, 'd'},
                                 {"parity", required_argument, nullptr, 'p'},
                                 {"stop", required_argument, nullptr, 's'},
                                 {"once", no_argument, nullptr, 0},
                                 {"timeout", required_argument, nullptr, 0},
                                 {"unit-timeout", required_argument, nullptr, 0},
                                 {"record", required_argument, nullptr, 0},
                                 {"json", no_argument, nullptr, 0},
                                 {"key", no_argument, nullptr, 0},
                                 {"journal", no_argument, nullptr, 0},
                                 {"config", required_argument, nullptr, 0},
                                 {"list", no_argument, nullptr, 0},
                                 {"key-pool", required_argument, nullptr, 0},
                                 {"pool-low", required_argument, nullptr, 0},
                                 {"pool-status", no_argument, nullptr, 0},
                                 {"pool-return", required_argument, nullptr, 0},
                                 {"pool-import", required_argument, nullptr, 0},
                                 {"db-init", required_argument, nullptr, 0},
                                 {"station-name", required_argument, nullptr, 0},
                                 {"db-spool", required_argument, nullptr, 0},
                                 {"silent-for", required_argument, nullptr, 0},
                                 {"verbose", no_argument, nullptr, 'v'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  optind = 1;
  opterr = 0;
  for (int c, index = 0; (c = getopt_long(argc, argv, "f:b:d:p:s:vh", kLong, &index)) != -1;) {
    if (c == 'h') return ParseOutcome::kHelp;
    if (c == '?' || c == ':') {
      error = optopt ? std::string("unknown option or missing value: -") + char(optopt)
                     : std::string("unknown option or missing value: ") + argv[optind - 1];
      return ParseOutcome::kBadArguments;
    }
    const option* matched = &kLong[index];
    if (c != 0) {
      matched = std::find_if(std::begin(kLong), std::end(kLong),
                             [c](const option& o) { return o.val == c; });
    }
    const std::string name = matched->name;
    if (name == "config") continue;  // read first, so the command line wins
    if (name == "list") {
      options.list = true;
      continue;
    }
    if (name == "pool-status") {
      options.pool_status = true;
      continue;
    }
    if (name == "pool-return") {
      options.pool_return = optarg;
      continue;
    }
    if (name == "pool-import") {
      options.pool_import = optarg;
      continue;
    }
    if (name == "db-init") {
      options.db_init = optarg;
      continue;
    }
    if (!ApplySetting(options, name, optarg ? optarg : "", error)) return ParseOutcome::kBadArguments;
  }
  if (options.list || !options.db_init.empty()) return ParseOutcome::kRun;
  if (!options.pool_import.empty() && !IsDatabaseUri(options.key_pool)) {
    error = "--pool-import needs --key-pool postgresql://...";
    return ParseOutcome::kBadArguments;
  }
  if (!options.pool_import.empty()) return ParseOutcome::kRun;
  if (!options.key_pool.empty() && !options.file.empty()) {
    error = "--key-pool and --file cannot be used together: a pool gives each box a key of its own";
    return ParseOutcome::kBadArguments;
  }
  if (options.pool_status || !options.pool_return.empty()) {
    if (options.key_pool.empty()) {
      error = std::string(options.pool_status ? "--pool-status" : "--pool-return") +
              " needs --key-pool DIR";
      return ParseOutcome::kBadArguments;
    }
    if (options.pool_status && !options.pool_return.empty()) {
      error = "give --pool-status or --pool-return, not both";
      return ParseOutcome::kBadArguments;
    }
    return ParseOutcome::kRun;
  }
  if (options.file.empty() && options.key_pool.empty()) {
    error = "--file or --key-pool is required";
    return ParseOutcome::kBadArguments;
  }
  if (optind < argc) options.slots.clear();  // the command line's slots replace the file's
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

StationChoice ChoiceOf(const ServeOptions& options) {
  StationChoice choice;
  choice.file = options.file;
  choice.key = options.key;
  choice.key_pool = options.key_pool;
  choice.pool_low = options.pool_low;
  choice.record = options.record_path;
  choice.station_name = options.station_name;
  choice.db_spool = options.db_spool;
  choice.line = options.line;
  choice.unit_timeout = std::chrono::milliseconds(
      std::llround(options.unit_timeout_seconds * 1000.0));
  choice.tool_version = TERNIS_VERSION;
  return choice;
}

}  // namespace ternis::serve
