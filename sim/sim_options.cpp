#include "sim/sim_options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace stbsim {
namespace {

const char kUsage[] =
    "Usage: stb-sim [OPTIONS] (--pty LINK | DEVICE)\n"
    "Acts as a set-top box on a serial line: boots, reads the image, asks for the time.\n"
    "\n"
    "      --pty LINK        create a pseudo-terminal and make LINK a symlink to the\n"
    "                        side the tool should open (removed on exit)\n"
    "  -r, --reference FILE  the image the tool serves: gives its size and every\n"
    "                        byte received is checked against it\n"
    "  -n, --size BYTES      the image size, when there is no reference file\n"
    "  -c, --chunk N         bytes per data request, 1 to 65535 (default 1024)\n"
    "      --order ORDER     sequential (default) or random (every chunk once)\n"
    "      --seed N          seed for --order random (default 1)\n"
    "      --past-end N      also ask for N bytes starting at the end (expects zeros)\n"
    "  -b, --baud N          baud rate of DEVICE (default 115200)\n"
    "      --reply-timeout S seconds to wait for each reply (default 5)\n"
    "      --boot-timeout S  seconds to keep booting before giving up (default 60)\n"
    "      --boot-interval MS  resend the boot frame this often (default 500)\n"
    "      --boot-delay S    wait S seconds before booting, as a box switched on\n"
    "                        after the tool is up (default 0)\n"
    "      --line-rate BAUD  pace replies as a real line at BAUD would (8N1: 10 bits a\n"
    "                        byte); default: as fast as they come\n"
    "      --write-time S    before asking for the time, spend S seconds \"writing\"\n"
    "                        the image, as a real box does (default 0)\n"
    "      --machine         print the summary as key=value pairs too\n"
    "      --units N         boxes to serve one after another on the line (default 1;\n"
    "                        0: until SIGINT or SIGTERM, which then ends with status 0\n"
    "                        if the units so far all succeeded); each summary line is\n"
    "                        prefixed \"unit K:\" unless N is 1\n"
    "      --unit-gap S      seconds from a unit's time reply to the next boot\n"
    "                        (default 0.2)\n"
    "      --time-first      after each boot, ask the time once before any data\n"
    "      --stop-after N    in each unit, fall silent once N data requests have been\n"
    "                        answered, keep the line open, and exit 0 after --hold\n"
    "                        seconds or, without --hold, at SIGINT or SIGTERM\n"
    "      --close-after N   in each unit, close the line once N data requests have\n"
    "                        been answered (a pseudo-terminal hangs up and LINK goes\n"
    "                        away) and exit 0\n"
    "      --reopen-after S  with --close-after and --pty: S seconds after closing,\n"
    "                        publish a new pseudo-terminal as LINK and run the units\n"
    "                        left on it, as a replugged adapter; closes only once,\n"
    "                        needs --units other than 1\n"
    "      --received-log FILE  append a line for every unit: how many bytes arrived\n"
    "                        in order from offset 0, their SHA-256 and how the unit\n"
    "                        ended (pass, closed, silent, fail): which image a box\n"
    "                        got, when the boxes are not told in advance\n"
    "      --keep-going      a unit that fails (no reply, wrong bytes) is logged and\n"
    "                        the next box boots, instead of exiting 1\n"
    "      --hold S          keep the line open S seconds after the last unit\n"
    "                        succeeded, or after falling silent (default 0)\n"
    "  -h, --help            show this help\n";

}  // namespace

[[noreturn]] void Usage(const char* problem) {
  std::fprintf(stderr, "stb-sim: %s\n\n%s", problem, kUsage);
  std::exit(2);
}

namespace {

unsigned long Number(const char* text, unsigned long min, unsigned long max, const char* what) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno || *end || text[0] == '-' || value < min || value > max) Usage(what);
  return value;
}

double Seconds(const char* text, const char* what, bool zero_allowed = false) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  const bool in_range = zero_allowed ? value >= 0 : value > 0;
  if (end == text || *end || !in_range || !std::isfinite(value)) Usage(what);
  return value;
}

}  // namespace

Options Parse(int argc, char** argv) {
  enum {
    kPty = 256,
    kOrder,
    kSeed,
    kPastEnd,
    kReplyTimeout,
    kBootTimeout,
    kBootInterval,
    kLineRate,
    kWriteTime,
    kBootDelay,
    kMachine,
    kUnits,
    kUnitGap,
    kTimeFirst,
    kStopAfter,
    kCloseAfter,
    kReopenAfter,
    kHold,
    kReceivedLog,
    kKeepGoing
  };
  static const option kLong[] = {{"pty", required_argument, nullptr, kPty},
                                 {"reference", required_argument, nullptr, 'r'},
                                 {"size", required_argument, nullptr, 'n'},
                                 {"chunk", required_argument, nullptr, 'c'},
                                 {"order", required_argument, nullptr, kOrder},
                                 {"seed", required_argument, nullptr, kSeed},
                                 {"past-end", required_argument, nullptr, kPastEnd},
                                 {"baud", required_argument, nullptr, 'b'},
                                 {"reply-timeout", required_argument, nullptr, kReplyTimeout},
                                 {"boot-timeout", required_argument, nullptr, kBootTimeout},
                                 {"boot-interval", required_argument, nullptr, kBootInterval},
                                 {"line-rate", required_argument, nullptr, kLineRate},
                                 {"write-time", required_argument, nullptr, kWriteTime},
                                 {"boot-delay", required_argument, nullptr, kBootDelay},
                                 {"machine", no_argument, nullptr, kMachine},
                                 {"units", required_argument, nullptr, kUnits},
                                 {"unit-gap", required_argument, nullptr, kUnitGap},
                                 {"time-first", no_argument, nullptr, kTimeFirst},
                                 {"stop-after", required_argument, nullptr, kStopAfter},
                                 {"close-after", required_argument, nullptr, kCloseAfter},
                                 {"reopen-after", required_argument, nullptr, kReopenAfter},
                                 {"hold", required_argument, nullptr, kHold},
                                 {"received-log", required_argument, nullptr, kReceivedLog},
                                 {"keep-going", no_argument, nullptr, kKeepGoing},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  Options o;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "r:n:c:b:h", kLong, nullptr)) != -1;) {
    switch (c) {
      case kPty:
        o.pty_link = optarg;
        break;
      case 'r':
        o.reference_path = optarg;
        break;
      case 'n':
        o.size = Number(optarg, 0, 0xFFFFFFFFul, "--size takes 0 to 4294967295");
        break;
      case 'c':
        o.chunk = static_cast<unsigned>(Number(optarg, 1, 65535, "--chunk takes 1 to 65535"));
        break;
      case kOrder:
        if (std::strcmp(optarg, "random") == 0)
          o.random_order = true;
        else if (std::strcmp(optarg, "sequential") != 0)
          Usage("--order takes sequential or random");
        break;
      case kSeed:
        o.seed = static_cast<unsigned>(Number(optarg, 0, 0xFFFFFFFFul, "--seed takes a number"));
        break;
      case kPastEnd:
        o.past_end = static_cast<unsigned>(Number(optarg, 1, 65535, "--past-end takes 1 to 65535"));
        break;
      case 'b':
        o.baud = static_cast<unsigned>(Number(optarg, 1, 0xFFFFFFFFul, "--baud takes a rate"));
        break;
      case kReplyTimeout:
        o.reply_timeout = Seconds(optarg, "--reply-timeout takes seconds");
        break;
      case kBootTimeout:
        o.boot_timeout = Seconds(optarg, "--boot-timeout takes seconds");
        break;
      case kBootInterval:
        o.boot_interval_ms =
            static_cast<unsigned>(Number(optarg, 1, 60000, "--boot-interval takes 1 to 60000 ms"));
        break;
      case kLineRate:
        o.line_rate = static_cast<unsigned>(
            Number(optarg, 1, 100000000, "--line-rate takes bits per second"));
        break;
      case kWriteTime:
        o.write_time = Seconds(optarg, "--write-time takes seconds", true);
        break;
      case kBootDelay:
        o.boot_delay = Seconds(optarg, "--boot-delay takes seconds", true);
        break;
      case kMachine:
        o.machine = true;
        break;
      case kUnits:
        o.units = static_cast<unsigned>(Number(optarg, 0, 0xFFFFFFFFul, "--units takes a count"));
        break;
      case kUnitGap:
        o.unit_gap = Seconds(optarg, "--unit-gap takes seconds", true);
        break;
      case kTimeFirst:
        o.time_first = true;
        break;
      case kStopAfter:
        o.stop_after =
            static_cast<unsigned>(Number(optarg, 0, 0xFFFFFFFFul, "--stop-after takes a count"));
        break;
      case kCloseAfter:
        o.close_after =
            static_cast<unsigned>(Number(optarg, 0, 0xFFFFFFFFul, "--close-after takes a count"));
        break;
      case kReopenAfter:
        o.reopen_after = Seconds(optarg, "--reopen-after takes seconds", true);
        break;
      case kHold:
        o.hold = Seconds(optarg, "--hold takes seconds", true);
        break;
      case kReceivedLog:
        o.received_log = optarg;
        break;
      case kKeepGoing:
        o.keep_going = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        std::exit(0);
      default:
        Usage("unknown option or missing value");
    }
  }
  if (optind < argc) o.device = argv[optind++];
  if (optind < argc) Usage("more than one DEVICE");
  if (o.pty_link.empty() == o.device.empty()) Usage("give either --pty LINK or a DEVICE");
  if (o.reference_path.empty() && !o.size) Usage("give --reference FILE or --size BYTES");
  if (o.stop_after && o.close_after) Usage("give --stop-after or --close-after, not both");
  if (o.reopen_after) {
    if (!o.close_after) Usage("--reopen-after needs --close-after");
    if (o.pty_link.empty()) Usage("--reopen-after needs --pty");
    if (o.units == 1) Usage("--reopen-after needs --units other than 1, to run after replugging");
  }
  return o;
}

}  // namespace stbsim
