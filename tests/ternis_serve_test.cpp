// ternis-serve and stb-sim end to end, as separate processes over real
// pseudo-terminals.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "station/image_digest.h"
#include "station/station_database.h"
#include "tests/support/holds.h"
#include "tests/support/json_lines.h"
#include "tests/support/pg_cluster.h"
#include "tests/support/process.h"
#include "tests/support/pty_box.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace ternis {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes AsBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// A command line written as one text, split at spaces.
std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

using test::Holds;
using test::Process;
using test::ReadText;
using test::WaitForText;
using namespace std::chrono_literals;

class ServeTest : public testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir.path() / name).string(); }

  std::string WriteImage(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = 12345;
    for (auto& b : bytes) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
    return dir.Write("image.bin", bytes);
  }

  // Starts a box on a new pseudo-terminal published as `link`.
  std::unique_ptr<Process> StartBox(const std::string& link, std::vector<std::string> args) {
    return test::StartSimBox(STB_SIM_PATH, Path(link), std::move(args));
  }

  std::unique_ptr<Process> StartServe(std::vector<std::string> args) {
    args.insert(args.begin(), TERNIS_SERVE_PATH);
    return std::make_unique<Process>(args, Path("serve.out"), Path("serve.err"));
  }

  std::string ServeErr() const { return ReadText(Path("serve.err")); }
  std::string Text(const std::string& name) const { return ReadText(Path(name)); }

  // Runs `args` to its end, its output in `name`.out and `name`.err.
  int Run(const std::string& name, const std::vector<std::string>& args) {
    return Process(args, Path(name + ".out"), Path(name + ".err")).Wait();
  }
  // Runs ternis-serve to its end: it ends with `status` and says `says`.
  void ExpectServe(const std::vector<std::string>& args, int status, const std::string& says) {
    EXPECT_EQ(StartServe(args)->Wait(20s), status) << testing::PrintToString(args) << "\n"
                                                   << ServeErr();
    EXPECT_TRUE(Holds(ServeErr(), says)) << testing::PrintToString(args);
  }

  std::vector<nlohmann::json> JsonLines(const std::string& name) const {
    return test::JsonLines(Path(name));
  }
  std::vector<nlohmann::json> Records() const { return JsonLines("records.jsonl"); }

  std::string Sha256Sum(const std::string& file) {
    EXPECT_EQ(Run("sum", {"/usr/bin/sha256sum", file}), 0);
    return Text("sum.out").substr(0, 64);
  }

  // Whether a journal listens: the machine's, or one started here as root.
  bool StartJournal() {
    if (JournalListening()) return true;
    if (::geteuid() != 0 || ::access("/lib/systemd/systemd-journald", X_OK) != 0) return false;
    journald = std::make_unique<Process>(std::vector<std::string>{"/lib/systemd/systemd-journald"},
                                         Path("journald.out"), Path("journald.err"));
    return test::WaitUntil([] { return JournalListening(); });
  }
  static bool JournalListening() {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, "/run/systemd/journal/socket", sizeof address.sun_path - 1);
    const bool listening =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return listening;
  }

  test::TempDir dir;
  std::unique_ptr<Process> journald;
};

// One unit, plain: timestamped lines, progress at most every ten percent.
// The percent is the part of the image covered, so random order climbs
// steadily. The result also goes to the journal, with fields to select it
// by: the machine's, or (as root) a journald of the test's own.
TEST_F(ServeTest, PlainProgressClimbsAndTheResultGoesToTheJournal) {
  const bool journal = StartJournal();
  const std::string slot = "journal-" + std::to_string(::getpid());
  const std::string image = WriteImage(200'000);
  // The box spends half a second "writing": long enough to be seen.
  auto box = StartBox("box", {"--reference", image, "--chunk", "1000", "--order", "random",
                              "--line-rate", "4000000", "--write-time", "0.5"});
  std::vector<std::string> args = {"--file", image, "--once", slot + "=" + Path("box")};
  if (journal) args.push_back("--journal");
  ASSERT_EQ(StartServe(args)->Wait(), 0) << ServeErr();
  EXPECT_EQ(box->Wait(), 0);
  const std::string err = ServeErr();
  const std::regex progress(slot + ": ([0-9]+)% \\(");
  int lines = 0, last = -1;
  for (auto it = std::sregex_iterator(err.begin(), err.end(), progress);
       it != std::sregex_iterator(); ++it, ++lines) {
    EXPECT_GE(std::stoi((*it)[1]), last) << err;
    last = std::stoi((*it)[1]);
  }
  EXPECT_GE(lines, 2) << err;
  EXPECT_LE(lines, 14) << err;  // 0..100 by tens, plus phase changes
  EXPECT_TRUE(Holds(err, ": 100% (200000 of 200000 bytes) writing"));
  EXPECT_TRUE(std::regex_search(
      err, std::regex(R"(\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d )" + slot + ": unit 1 PASS in ")))
      << "timestamped\n"
      << err;
  // The connection and the result, once each; the start before the result.
  for (const char* said : {"(Connected Successfully|connected)\n", "(unit 1 )?PASS in"}) {
    const std::regex line(slot + ": " + said);
    const auto times =
        std::distance(std::sregex_iterator(err.begin(), err.end(), line), std::sregex_iterator());
    EXPECT_EQ(times, 1) << said << "\n" << err;
  }
  EXPECT_LT(err.find("unit 1 started"), err.find("unit 1 PASS")) << err;

  if (!journal) GTEST_SKIP() << "no journal here, and starting one needs root and systemd-journald";
  std::string entries;
  ASSERT_TRUE(test::WaitUntil([&] {
    Run("journal", {"/usr/bin/journalctl", "--no-pager", "-o", "json", "TERNIS_SLOT=" + slot});
    return (entries = Text("journal.out")).find("TERNIS_RESULT") != std::string::npos;
  })) << Text("journal.err");
  const auto entry = nlohmann::json::parse(entries.substr(0, entries.find('\n')));
  EXPECT_EQ(entry["TERNIS_SLOT"], slot);
  EXPECT_EQ(entry["TERNIS_RESULT"], "pass");
  EXPECT_EQ(entry["TERNIS_UNIT"], "1");
  EXPECT_EQ(entry["TERNIS_SHA256"], Sha256Sum(image));
  EXPECT_EQ(entry["MESSAGE"].get<std::string>().rfind(slot + ": unit 1 PASS in ", 0), 0u);
  journald.reset();
}

TEST_F(ServeTest, BoxNoticesWrongBytes) {
  const std::string image = WriteImage(50'000);
  const std::string other = dir.Write("other.bin", std::vector<std::uint8_t>(50'000, 0x42));
  auto box = StartBox("box", {"--reference", image, "--reply-timeout", "5"});
  auto serve = StartServe({"--file", other, "--timeout", "30", Path("box")});
  EXPECT_EQ(box->Wait(), 1);
  EXPECT_TRUE(Holds(Text("box.err"), "mismatch at offset 0"));
}

// How the server ends, the status it ends with, and what it says on the way.
TEST_F(ServeTest, ExitStatusSaysHowItEnded) {
  const std::string image = WriteImage(200'000);
  struct Case {
    const char* what;
    int stop_after;  // requests until the box falls silent; 0: no box on the line at all
    std::string serve;
    int signal;  // sent once the unit has started; 0 for none
    int status;
    std::string said;       // a line of the server's, as a pattern
    std::string file = {};  // served instead of the image
  };
  const std::vector<Case> cases = {
      {"timeout before a slot had a result", 0, "--once --timeout 0.3", 0, 3,
       "s1: Connected Successfully"},
      {"timeout cutting a unit short", 2, "--timeout 0.8", 0, 3,
       "s1: unit 1 ABORTED after [0-9.]+ s: interrupted"},
      {"SIGINT mid-unit", 2, "", SIGINT, 130, "s1: Disconnected"},
      {"SIGTERM mid-unit", 2, "", SIGTERM, 143, "s1: Disconnected"},
      {"--once with a failed unit", 3, "--once --unit-timeout 0.3 --timeout 30", 0, 1,
       "s1: unit 1 FAIL after [0-9.]+ s: box stopped asking \\(0\\.3 s\\) \\(196928 bytes "
       "missing\\)"},
      // A name from outside is one line, whatever it holds.
      {"a file that cannot be loaded", 0, "", 0, 1,
       "cannot load " + Path("missing\\\\n\\\\x1b\\[2J\\.bin") + ": No such file or directory",
       Path("missing\n\x1b[2J.bin")},
      {"an empty file", 0, "", 0, 1, Path("empty.bin") + " is empty: nothing to serve",
       dir.Write("empty.bin", {})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<Process> box;
    test::PtyBox line;  // a line where no box speaks
    std::string device = line.port_path();
    if (c.stop_after) {
      box = StartBox("box", {"--reference", image, "--stop-after", std::to_string(c.stop_after),
                             "--hold", "5"});
      device = Path("box");
    }
    std::vector<std::string> args = Words(c.serve);
    args.insert(args.begin(),
                {"--file", c.file.empty() ? image : c.file, "--record", Path("records.jsonl")});
    args.push_back("s1=" + device);
    auto serve = StartServe(args);
    if (c.signal) {
      ASSERT_TRUE(WaitForText(Path("serve.err"), "s1: unit 1 started (box booted)")) << ServeErr();
      serve->Signal(c.signal);
    }
    EXPECT_EQ(serve->Wait(), c.status) << ServeErr();
    EXPECT_TRUE(std::regex_search(ServeErr(), std::regex(c.said))) << ServeErr();
    if (c.signal) {
      const auto records = Records();
      ASSERT_FALSE(records.empty());
      EXPECT_EQ(records.back()["result"], "aborted");
      EXPECT_EQ(records.back()["reason"], "interrupted");
    }
    std::filesystem::remove(Path("records.jsonl"));
  }
}

// Continuous by default: unit after unit on one slot, each recorded, and
// the record says which file (its SHA-256 as sha256sum has it) and how.
// The box asks the time before any data (and checks the date it gets).
TEST_F(ServeTest, ContinuousModeRecordsEveryUnit) {
  const std::string image = WriteImage(30'000);
  auto box = StartBox("box", {"--reference", image, "--units", "3", "--unit-gap", "0.05",
                              "--time-first", "--hold", "5"});
  auto serve = StartServe(
      {"--file", image, "--record", Path("records.jsonl"), "--json", "line-1=" + Path("box")});
  ASSERT_TRUE(WaitForText(Path("serve.err"), "unit 3 PASS")) << ServeErr() << Text("box.err");
  serve->Signal(SIGTERM);
  EXPECT_EQ(serve->Wait(), 0) << "stopped while idle, every unit passed\n" << ServeErr();
  EXPECT_TRUE(Holds(ServeErr(), "line-1: Disconnected"));

  const std::string sha = Sha256Sum(image);
  const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
  const auto records = Records();
  ASSERT_EQ(records.size(), 3u);
  for (std::size_t i = 0; i < records.size(); ++i) {
    auto r = records[i];
    for (const char* varies : {"started", "ended", "duration_s", "host", "tool_version"}) {
      ASSERT_TRUE(r.contains(varies)) << varies;
      r.erase(varies);
    }
    EXPECT_TRUE(std::regex_match(records[i]["started"].get<std::string>(), stamp)) << records[i];
    EXPECT_EQ(r, (nlohmann::json{{"slot", "line-1"},
                                 {"device", Path("box")},
                                 {"unit", i + 1},
                                 {"result", "pass"},
                                 {"reason", ""},
                                 {"image", image},
                                 {"size", 30'000},
                                 {"sha256", sha},
                                 {"bytes_served", 30'000},
                                 {"requests", 30},
                                 {"missing_bytes", 0}}));
  }
  EXPECT_EQ(
      std::filesystem::status(Path("records.jsonl")).permissions() & std::filesystem::perms::all,
      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
          std::filesystem::perms::group_read);

  // --json: nothing but events on stdout; a unit event is its record plus "event".
  std::vector<nlohmann::json> units;
  std::set<std::string> kinds;
  for (const auto& event : JsonLines("serve.out")) {
    kinds.insert(event["event"].get<std::string>());
    if (event["event"] == "unit") units.push_back(event);
  }
  EXPECT_EQ(kinds, (std::set<std::string>{"start", "slot", "progress", "unit", "summary"}));
  ASSERT_EQ(units.size(), 3u);
  auto first = units[0];
  first.erase("event");
  EXPECT_EQ(first, records[0]);
}

// One absent adapter among several stops nothing; it is served once it
// appears. A file changed on disk meanwhile is noticed once; the server
// keeps serving what it loaded until SIGHUP, and records say which bytes
// each unit got.
TEST_F(ServeTest, AMissingDeviceIsWaitedForAndSighupServesTheChangedFile) {
  const std::string image = WriteImage(30'000);
  const std::string old_sha = Sha256Sum(image);
  auto present = StartBox("present", {"--reference", image});
  auto serve = StartServe({"--file", image, "--once", "--timeout", "30", "--record",
                           Path("records.jsonl"), "a=" + Path("present"), "b=" + Path("later")});
  ASSERT_TRUE(WaitForText(Path("serve.err"), "a: unit 1 PASS")) << ServeErr();
  const std::regex missing("b: " + Path("later") +
                           " does not exist; (present with a similar name: [^;]*; )?ternis-serve "
                           "--list shows every serial device; waiting for it");
  EXPECT_TRUE(std::regex_search(ServeErr(), missing)) << ServeErr();
  dir.Write("image.bin", std::vector<std::uint8_t>(30'000, 0x5A));
  ASSERT_TRUE(WaitForText(Path("serve.err"), "changed on disk; still serving the bytes loaded"))
      << ServeErr();
  // Reloaded while the late box is connected, before it boots.
  auto later = StartBox("later", {"--reference", image, "--boot-delay", "3"});
  ASSERT_TRUE(WaitForText(Path("serve.err"), "b: Connected Successfully")) << ServeErr();
  serve->Signal(SIGHUP);
  ASSERT_TRUE(WaitForText(Path("serve.err"), "reloaded")) << ServeErr();
  EXPECT_EQ(serve->Wait(), 0) << ServeErr();
  EXPECT_TRUE(Holds(ServeErr(), "b: unit 1 PASS"));
  EXPECT_EQ(later->Wait(), 0);
  const auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["sha256"], old_sha);
  EXPECT_EQ(records[1]["sha256"], Sha256Sum(image));
  EXPECT_NE(records[1]["sha256"], old_sha);
}

// A port that cannot be used says why, with the slot: here, held by another
// ternis-serve, and (run as another user) refused by its permissions.
TEST_F(ServeTest, APortThatCannotBeUsedNamesTheCulprit) {
  const std::string image = WriteImage(1000);
  test::PtyBox line;
  auto holder = StartServe({"--file", image, line.port_path()});
  ASSERT_TRUE(WaitForText(Path("serve.err"), "Connected Successfully")) << ServeErr();
  EXPECT_EQ(Run("second", {TERNIS_SERVE_PATH, "--file", image, "--once", "--timeout", "1",
                           "s9=" + line.port_path()}),
            3);
  const std::string err = Text("second.err");
  // (This test's own end of the line shows up among the holders too.)
  EXPECT_TRUE(Holds(err, "s9: " + line.port_path() + " is in use by another program; held by"));
  EXPECT_TRUE(Holds(err, "held by process " + std::to_string(holder->pid()) + ": " +
                             TERNIS_SERVE_PATH + " --file " + image + " " + line.port_path()));
  holder->Signal(SIGTERM);
  holder->Wait();

  if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "permission: needs root to run the server as another user (setpriv)";
  ASSERT_EQ(::chown(line.port_path().c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(line.port_path().c_str(), 0660), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);  // the image stays readable for nobody
  ASSERT_EQ(::chmod(image.c_str(), 0644), 0);
  EXPECT_EQ(Run("refused",
                {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                 TERNIS_SERVE_PATH, "--file", image, "--once", "--timeout", "1", line.port_path()}),
            3);
  EXPECT_TRUE(Holds(Text("refused.err"),
                    line.port_path() + ": permission denied: " + line.port_path() +
                        " is crw-rw---- root:root; you are not in group root: sudo usermod -aG "
                        "root $USER, then log in again; trying again every few seconds"));
}

// A station from its file, the command line winning over it: here the
// service's copy of a key (LoadCredential=), served with no warning and
// its bytes in no output, even --verbose and --json. A bad line is named.
TEST_F(ServeTest, TheStationFileIsReadAndBadLinesAreNamed) {
  const std::string secret = "K3Y-S3CR3T-0123456789abcdef";
  std::string key_text;
  while (key_text.size() < 4000) key_text += secret;
  const std::string credentials = Path("credentials");
  ASSERT_EQ(::mkdir(credentials.c_str(), 0700), 0);
  const std::string key = dir.Write("credentials/m.key", AsBytes(key_text));
  ASSERT_EQ(::chmod(key.c_str(), 0644), 0);
  auto box = StartBox("box", {"--reference", key, "--chunk", "512", "--past-end", "16"});
  const std::string config = Path("station.conf");
  dir.Write("station.conf",
            AsBytes("[station]\nfile = $CREDENTIALS_DIRECTORY/m.key\nkey = yes\n"
                    "unit_timeout = 5\nonce = yes\nrecord = " +
                    Path("elsewhere.jsonl") + "\n\n[slots]\nfrom-file = " + Path("box") + "\n"));
  EXPECT_EQ(
      Run("serve", {"/usr/bin/env", "CREDENTIALS_DIRECTORY=" + credentials, TERNIS_SERVE_PATH,
                    "--config", config, "--verbose", "--json", "--record", Path("records.jsonl")}),
      0)
      << ServeErr();
  EXPECT_FALSE(Holds(ServeErr(), "warning"));
  EXPECT_FALSE(std::filesystem::exists(Path("elsewhere.jsonl"))) << "the command line wins";
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["slot"], "from-file");
  EXPECT_EQ(records[0]["image"], key);
  for (const std::string& output : {ServeErr(), Text("serve.out"), Text("records.jsonl")}) {
    for (const std::string& leak : {std::string("K3Y-S3CR3T"), std::string("4b33592d"),
                                    std::string("4B33592D"), std::string("4b 33 59 2d")})
      EXPECT_EQ(output.find(leak), std::string::npos) << leak << " in\n" << output;
  }
  // Anywhere else, a key file others can read is warned about.
  test::PtyBox line;
  ExpectServe({"--file", key, "--key", "--once", "--timeout", "0.3", line.port_path()}, 3,
              "warning: key file " + key + " can be read by anyone on this machine (mode " +
                  "0644): chmod 600 " + key);

  // Each file with one bad line, and what is said of it.
  const std::pair<std::string, std::string> bad[] = {
      {"[station]\n\nbaud = fast\n", ":3: --baud takes a rate in bits per second"},
      {"[station]\nfile = x\n[box]\na = b\n", ":4: unknown section [box]"},
      {"[slots]\nbad name = /dev/ttyS0\n", ":2: a slot name takes letters"},
      {"[station]\nthis is not a setting\n", ":2: not a setting (NAME = VALUE)"},
      {"[station]\nunit_timout = 5\n", ":2: unknown setting \"unit_timout\""},
      {"[slots]\na = /dev/x\na = /dev/y\n", ":3: slot \"a\" given twice"},
      {"[slots]\na = /dev/x\n\nb = /dev/x\n", ":4: device /dev/x given twice"},
  };
  for (const auto& [text, error] : bad) {
    dir.Write("station.conf", AsBytes(text));
    // The fault and where to look, without the whole usage.
    ExpectServe({"--config", config}, 2, "ternis-serve: " + config + error);
    const std::string err = ServeErr();
    EXPECT_TRUE(Holds(err,
                      "\nternis-serve: the settings are in ternis-serve --help and "
                      "ternis-serve.conf(5)\n"));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
  }
  ExpectServe({"--config", Path("no-such.conf")}, 2,
              "cannot read " + Path("no-such.conf") + ": No such file or");
}

// --list reads udev: here a testbed with an FTDI and a CP210x adapter (one
// without a serial number) and two ttyS ports, and one with nothing. Only
// ports with hardware behind them are listed, sorted: ttyS1's UART type is
// 0 (nothing answered), the virtual console has no parent device. An
// adapter is described from its USB device (its own strings, no serial
// number from the root hub), a ttyS port by the driver past serial-base.
TEST_F(ServeTest, ListShowsTheAdaptersAndTheirStableNames) {
  if (std::string(UMOCKDEV_RUN_PATH).empty()) GTEST_SKIP() << "umockdev-run is not installed";
  ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);  // umockdev preloads before ASan
  const std::string data = TESTS_DATA_DIR;
  const std::string ftdi = data + "/ftdi.umockdev";
  ASSERT_EQ(Run("list", {UMOCKDEV_RUN_PATH, "--device", ftdi, "--device",
                         data + "/cp210x-no-serial.umockdev", "--device", data + "/ttyS.umockdev",
                         "--", TERNIS_SERVE_PATH, "--list"}),
            0)
      << Text("list.err");
  const std::string out = Text("list.out");
  EXPECT_TRUE(std::regex_search(out, std::regex("^/dev/ttyS0  driver serial8250  \\[[^\\n]*\\n"
                                                "/dev/ttyUSB0 [^\\n]*\\n/dev/ttyUSB1 [^\\n]*\\n$")))
      << out;
  for (const std::string& piece :
       {std::string("/dev/ttyUSB0  usb 0403:6001  \"FTDI FT232R USB UART\"  serial A10KZP1X  "
                    "driver ftdi_sio  by-path /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-"
                    "port0  by-id /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZP1X-if00-port0"),
        std::string("/dev/ttyUSB1  usb 10c4:ea60  \"Silicon Labs CP2102 USB to UART Bridge "
                    "Controller\"  serial (none)  driver cp210x  by-path /dev/serial/by-path/"
                    "pci-0000:03:00.0-usb-0:1:1.0-port0  by-id /dev/serial/by-id/"
                    "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller-if00-port0")})
    EXPECT_TRUE(Holds(out, piece));

  ASSERT_EQ(Run("json",
                {UMOCKDEV_RUN_PATH, "--device", ftdi, "--", TERNIS_SERVE_PATH, "--list", "--json"}),
            0);
  const auto device = nlohmann::json::parse(Text("json.out"));
  EXPECT_EQ(device["device"], "/dev/ttyUSB0");
  EXPECT_EQ(device["vendor_id"], "0403");
  EXPECT_EQ(device["serial"], "A10KZP1X");
  EXPECT_EQ(device["by_path"][0], "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");

  // A device that is not there: the ones with names close to it are offered.
  EXPECT_EQ(Run("typo", {UMOCKDEV_RUN_PATH, "--device", ftdi, "--", TERNIS_SERVE_PATH, "--file",
                         WriteImage(10), "--once", "--timeout", "0.3", "/dev/ttyUSB2"}),
            3);
  EXPECT_TRUE(Holds(Text("typo.err"),
                    "/dev/ttyUSB2: /dev/ttyUSB2 does not exist; present with a similar name: "
                    "/dev/ttyUSB0; ternis-serve --list shows every serial device"));

  EXPECT_EQ(Run("none", {UMOCKDEV_RUN_PATH, "--", TERNIS_SERVE_PATH, "--list"}), 0);
  EXPECT_EQ(Text("none.out"), "no serial devices found\n");
}

TEST_F(ServeTest, BadArgumentsPrintUsageAndExitTwo) {
  std::vector<std::string> bad = {"",
                                  "--file x",
                                  "/dev/ttyS0",
                                  "--file x a=/dev/ttyS0 a=/dev/ttyS1",
                                  "--file x a=/dev/ttyS0 b=/dev/ttyS0",
                                  "--file x /dev/ttyS0 /dev/ttyS0",
                                  "--file x a=",
                                  "--pool-status",
                                  "--pool-return k",
                                  "--key-pool p --pool-status --pool-return k"};
  // Each with a file and a device, so the one fault is what is refused.
  for (const char* fault :
       {"--parity sometimes", "--data 9", "--baud 0", "--stop 3", "--stop 1.5", "--timeout -1",
        "--unit-timeout soon", "--bogus", "--key-pool p", "--key-pool p --pool-low many"})
    bad.push_back(std::string("--file x ") + fault + " /dev/ttyS0");
  for (const std::string& line : bad) ExpectServe(Words(line), 2, "Usage: ternis-serve");
  ExpectServe({"--file", "x", "bad name=/dev/ttyS0"}, 2, "Usage: ternis-serve");
  ExpectServe({"--key-pool", "p", "--file", "x", "/dev/ttyS0"}, 2,
              "--key-pool and --file cannot be used together");
  EXPECT_EQ(StartServe({"--help"})->Wait(10s), 0);
  EXPECT_TRUE(Holds(Text("serve.out"), "--record FILE"));
}

// --- key pools ---

namespace fs = std::filesystem;

// What boxes logged with --received-log: one entry per unit.
struct Received {
  std::uint64_t bytes = 0;
  std::string sha256;
  std::string end;
};

std::vector<Received> ReceivedLog(const std::string& path) {
  std::vector<Received> units;
  std::istringstream in(ReadText(path));
  const std::regex line(R"(unit=\d+ bytes=(\d+) sha256=([0-9a-f]{64}) end=(\w+))");
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(text, m, line)) << text;
    if (!m.empty()) units.push_back({std::stoull(m[1]), m[2], m[3]});
  }
  return units;
}

class KeyPoolTest : public ServeTest {
 protected:
  static constexpr std::size_t kKeySize = 2048;

  // Keys "key-NN", random bytes each; their contents by name.
  void MakeKeys(int count) {
    fs::create_directories(pool / "ready");
    std::mt19937 random(7);
    for (int i = 0; i < count; ++i) {
      Bytes key(kKeySize);
      for (auto& b : key) b = static_cast<std::uint8_t>(random());
      const std::string name = (i < 10 ? "key-0" : "key-") + std::to_string(i);
      keys[name] = key;
      dir.Write((fs::path("pool") / "ready" / name).string(), key);
    }
  }
  // The key whose first `bytes` bytes hash to `sha256`, or "".
  std::string KeyOf(const Received& r) const {
    for (const auto& [name, key] : keys) {
      if (r.bytes <= key.size() && Sha256Hex({key.data(), r.bytes}) == r.sha256) return name;
    }
    return {};
  }
  // Every box's units: no key reached two boxes; what each key's box got.
  std::map<std::string, Received> Served(const std::vector<std::string>& boxes) {
    std::map<std::string, Received> got;
    for (const std::string& box : boxes) {
      for (const Received& r : ReceivedLog(Path(box + ".log"))) {
        const std::string key = KeyOf(r);
        EXPECT_FALSE(key.empty()) << box << " got bytes of no key";
        EXPECT_TRUE(got.emplace(key, r).second) << key << " reached two boxes";
      }
    }
    return got;
  }
  std::size_t Count(const char* folder) const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(pool / folder), {}));
  }

  fs::path pool = dir.path() / "pool";
  std::map<std::string, Bytes> keys;
};

// 8 slots, 40 keys, boxes coming and going, three unplugged mid-unit: no
// key reaches two boxes, every key is in one folder, each record names the
// key its box got.
TEST_F(KeyPoolTest, EachKeyGoesToOneBoxOnly) {
  MakeKeys(40);
  std::vector<std::unique_ptr<Process>> boxes;
  std::vector<std::string> links;
  std::vector<std::string> serve_args =
      Words("--key-pool " + pool.string() + " --record " + Path("records.jsonl") + " --pool-low 8");
  for (int i = 0; i < 8; ++i) {
    links.push_back("box" + std::to_string(i));
    std::string args = "--size 2048 --chunk 256 --units 4 --unit-gap 0.05 --received-log " +
                       Path(links.back() + ".log") + (i % 2 ? " --boot-delay 0.3" : "");
    if (i < 3) args += " --close-after 3 --reopen-after 0.3";
    boxes.push_back(StartBox(links.back(), Words(args)));
    serve_args.push_back("s" + std::to_string(i) + "=" + Path(links.back()));
  }
  auto serve = StartServe(serve_args);
  for (auto& box : boxes) EXPECT_EQ(box->Wait(), 0) << ServeErr();
  ASSERT_TRUE(WaitForText(Path("serve.err"), "key pool low: 8 keys left in ready/")) << ServeErr();
  serve->Signal(SIGTERM);
  EXPECT_EQ(serve->Wait(), 1) << "three units failed: their boxes were unplugged\n" << ServeErr();

  const auto served = Served(links);
  for (const std::string& link : links) EXPECT_EQ(ReceivedLog(Path(link + ".log")).size(), 4u);
  EXPECT_EQ(served.size(), 32u);
  EXPECT_EQ((std::vector{Count("used"), Count("spoiled"), Count("ready"), Count("issued")}),
            (std::vector<std::size_t>{29, 3, 8, 0}));

  const auto records = Records();
  ASSERT_EQ(records.size(), 32u) << "one record per unit";
  std::set<std::string> named;
  for (const auto& r : records) {
    const std::string name = r["key"]["name"];
    EXPECT_EQ(r["image"], "key_pool");
    EXPECT_TRUE(named.insert(name).second) << name << " in two records";
    ASSERT_TRUE(served.count(name)) << name;
    const bool passed = r["result"] == "pass";
    EXPECT_EQ(passed, served.at(name).end == "pass") << name;
    EXPECT_TRUE(!passed || r["key"]["sha256"] == served.at(name).sha256) << name;
    EXPECT_TRUE(fs::exists(pool / (passed ? "used" : "spoiled") / name)) << name;
  }
  for (const auto& [name, key] : keys)
    EXPECT_FALSE(Holds(ServeErr(), Sha256Hex(key).substr(0, 16))) << "a digest in records only";
}

// An empty pool gives a booting box nothing, not even the acknowledgement;
// a key put into ready/ later goes to that box at its next boot-up. Then
// the pool by hand: counts, and a spoiled key back to ready/.
TEST_F(KeyPoolTest, AnEmptyPoolWaitsForAKeyAndSpoiledKeysGoBackByHand) {
  MakeKeys(2);
  const Bytes key = keys.begin()->second;
  fs::rename(pool / "ready" / "key-00", dir.path() / "key-00");
  fs::create_directories(pool / "spoiled");
  fs::rename(pool / "ready" / "key-01", pool / "spoiled" / "key-01");
  auto box = StartBox("box", {"--size", std::to_string(kKeySize), "--received-log", Path("box.log"),
                              "--boot-interval", "200"});
  auto serve = StartServe({"--key-pool", pool.string(), "--once", "--json", Path("box")});
  ASSERT_TRUE(WaitForText(Path("serve.err"), "key pool empty: 1 boxes waiting")) << ServeErr();
  EXPECT_TRUE(WaitForText(Path("serve.out"), R"("state":"waiting for a key")")) << ServeErr();
  EXPECT_EQ(Text("box.log"), "") << "the box is still booting";
  EXPECT_FALSE(box->Poll());
  fs::rename(dir.path() / "key-00", pool / "ready" / "key-00");
  EXPECT_EQ(serve->Wait(), 0) << ServeErr();
  EXPECT_EQ(box->Wait(), 0);
  const auto units = ReceivedLog(Path("box.log"));
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].sha256, Sha256Hex(key));
  EXPECT_TRUE(fs::exists(pool / "used" / "key-00"));
  EXPECT_EQ(ServeErr().find("key pool empty"), ServeErr().rfind("key pool empty")) << "said once";

  ExpectServe({"--key-pool", pool.string(), "--pool-status", "--json"}, 0, "");
  EXPECT_EQ(nlohmann::json::parse(Text("serve.out")),
            (nlohmann::json{{"ready", 0}, {"issued", 0}, {"used", 1}, {"spoiled", 1}}));
  const std::tuple<std::string, int, std::string> cases[] = {
      {"key-01", 0, "key key-01 moved from spoiled/ back to ready/"},
      {"key-01", 1, "no key key-01 in"},
      {"../used/key-00", 1, "is not a key's name in spoiled/"},
      {"x/../../used/key-02", 1, "is not a key's name in spoiled/"}};
  for (const auto& [name, status, says] : cases)
    ExpectServe({"--key-pool", pool.string(), "--pool-return", name}, status, says);
  EXPECT_EQ(Count("ready"), 1u);
  EXPECT_TRUE(Holds(Text("pool/pool-log.jsonl"), "returned by hand"));
  ExpectServe({"--key-pool", Path("nowhere"), "--once", "/dev/ttyS0"}, 1,
              "key pool " + Path("nowhere") + ": No such file or directory");
}

// --- a key pool in PostgreSQL, shared by stations ---

class DbPoolTest : public KeyPoolTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db.ok()) << db.why();
    auto init = StartServe({"--db-init", db.Uri()});
    ASSERT_EQ(init->Wait(20s), 0) << ServeErr();
  }
  // Imports `count` keys made by MakeKeys.
  void ImportKeys(int count) {
    MakeKeys(count);
    auto import = StartServe({"--key-pool", db.Uri(), "--pool-import", (pool / "ready").string()});
    ASSERT_EQ(import->Wait(20s), 0) << ServeErr();
  }
  std::unique_ptr<Process> StartStation(const std::string& name, std::vector<std::string> args) {
    args.insert(args.begin(), {TERNIS_SERVE_PATH, "--key-pool", db.Uri(), "--station-name", name,
                               "--db-spool", Path(name + ".spool")});
    return std::make_unique<Process>(args, Path(name + ".out"), Path(name + ".err"));
  }
  std::size_t Number(const std::string& sql) { return std::stoul(db.Query(sql)); }

  std::vector<std::unique_ptr<Process>> box_runs;
  test::PgCluster db;
};

// Two stations of 8 slots on one pool of 200 keys; the database stopped
// for 5 s in the middle: units in progress finish, their ends wait in the spool and are
// written once; no key reaches two boxes; the counts add up.
TEST_F(DbPoolTest, TwoStationsShareOnePoolThroughADatabaseOutage) {
  ImportKeys(200);
  std::vector<std::string> boxes;
  std::vector<std::string> slots[2];
  for (int i = 0; i < 16; ++i) {
    const std::string box = "box" + std::to_string(i);
    box_runs.push_back(StartBox(
        box, {"--size", std::to_string(kKeySize), "--chunk", "32", "--units", "12", "--unit-gap",
              "0.05", "--boot-interval", "100", "--received-log", Path(box + ".log")}));
    boxes.push_back(box);
    slots[i % 2].push_back("s" + std::to_string(i) + "=" + Path(box));
  }
  auto a = StartStation("line-a", slots[0]);
  auto b = StartStation("line-b", slots[1]);
  test::WaitUntil([&] { return Number("SELECT count(*) FROM ternis_records") >= 16; });
  db.Stop();
  ASSERT_TRUE(WaitForText(Path("line-a.err"), "database unreachable")) << Text("line-a.err");
  std::this_thread::sleep_for(5s);  // the outage itself, as long as asked
  ASSERT_TRUE(db.Start()) << db.why();
  ASSERT_TRUE(WaitForText(Path("line-a.err"), "database reachable again", 60s))
      << Text("line-a.err");
  test::WaitUntil([&] { return Number("SELECT count(*) FROM ternis_records") >= 192; }, 60s);
  a->Signal(SIGTERM);
  b->Signal(SIGTERM);
  EXPECT_EQ(a->Wait(), 0) << Text("line-a.err");
  EXPECT_EQ(b->Wait(), 0) << Text("line-b.err");

  EXPECT_EQ(Served(boxes).size(), 192u) << "16 boxes, 12 units each";
  EXPECT_EQ(Number("SELECT count(*) FROM ternis_records"), 192u) << "none lost, none twice";
  EXPECT_EQ(Number("SELECT count(DISTINCT record->'key'->>'name') FROM ternis_records"), 192u);
  EXPECT_EQ(Number("SELECT count(*) FROM ternis_keys WHERE state = 'used'"), 192u);
  EXPECT_EQ(Number("SELECT count(*) FROM ternis_keys WHERE state = 'ready'"), 8u);
  for (const char* station : {"line-a", "line-b"}) {
    EXPECT_EQ(Number(std::string("SELECT count(*) FROM ternis_records WHERE station = '") +
                     station + "' AND record->>'station' = '" + station + "'"),
              96u)
        << station;
  }
  EXPECT_EQ(ReadText(Path("line-a.spool")), "") << "written, then emptied";
  EXPECT_EQ(Number("SELECT count(*) FROM ternis_records r JOIN ternis_keys k"
                   " ON k.name = r.record->'key'->>'name' WHERE k.station <> r.station"),
            0u);
}

// A station killed mid-unit leaves its key issued; started again under its
// name, it spoils that key, which no box ever gets again. The station logs
// in with the least rights docs/station.md gives it. Then the pool by hand,
// an end replayed from the spool, and records of an image.
TEST_F(DbPoolTest, AStationKilledMidUnitSpoilsItsIssuedKeysOnRestart) {
  ImportKeys(4);
  for (const char* grant :
       {"CREATE ROLE ternis_station LOGIN", "GRANT SELECT ON ternis_schema TO ternis_station",
        "GRANT SELECT (id, name, sha256, bytes, state, station, slot, changed) ON ternis_keys TO "
        "ternis_station",
        "GRANT UPDATE (state, station, slot, reason, changed) ON ternis_keys TO ternis_station",
        "GRANT SELECT, INSERT, UPDATE ON ternis_stations TO ternis_station",
        "GRANT SELECT (id), INSERT ON ternis_records TO ternis_station"})
    ASSERT_EQ(db.Query(grant).find("failed"), std::string::npos) << grant;
  const std::string station_uri =
      std::regex_replace(db.Uri(), std::regex("user=ternis$"), "user=ternis_station");
  // The box falls silent halfway and the station never gives up on it: the
  // unit is still running whenever the kill comes, however slow the machine.
  box_runs.push_back(StartBox("box", {"--size", std::to_string(kKeySize), "--chunk", "1",
                                      "--stop-after", "1000", "--received-log", Path("box.log")}));
  auto a = StartStation(
      "line-a", {"--key-pool", station_uri, "--once", "--unit-timeout", "0", "s=" + Path("box")});
  std::string issued;
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        return !(issued = db.Query("SELECT name FROM ternis_keys WHERE state = 'issued'")).empty();
      },
      60s))
      << Text("line-a.err");
  a->Signal(SIGKILL);
  a->Wait();
  auto status =
      StartServe({"--key-pool", db.Uri(), "--pool-status", "--json", "--silent-for", "0"});
  ASSERT_EQ(status->Wait(20s), 0) << ServeErr();
  const auto counts = nlohmann::json::parse(Text("serve.out"));
  EXPECT_EQ(counts["issued"], 1);
  EXPECT_EQ(counts["issued_to_silent_stations"][0]["key"], issued);

  // Back with a second box, whose unit's end the least-rights role writes.
  box_runs.push_back(StartBox("box2", {"--size", std::to_string(kKeySize), "--units", "1"}));
  auto again =
      StartStation("line-a", {"--key-pool", station_uri, "s=" + Path("box"), "t=" + Path("box2")});
  EXPECT_TRUE(WaitForText(Path("line-a.err"),
                          "key " + issued + " spoiled: station stopped with the key issued"))
      << Text("line-a.err");
  EXPECT_TRUE(test::WaitUntil(
      [&] { return Number("SELECT count(*) FROM ternis_records WHERE station = 'line-a'") == 1; },
      60s))
      << Text("line-a.err");
  again->Signal(SIGTERM);
  again->Wait();
  EXPECT_EQ(
      db.Query("SELECT state || ' ' || reason FROM ternis_keys WHERE name = '" + issued + "'"),
      "spoiled station stopped with the key issued");
  const auto served = Served({"box"});
  EXPECT_FALSE(served.count(issued) && served.at(issued).end == "pass") << "a spoiled key reissued";
  EXPECT_EQ(
      Number("SELECT count(*) FROM ternis_records WHERE record->'key'->>'name' = '" + issued + "'"),
      0u);

  // By hand: a second import of the same keys is refused whole; the spoiled
  // key goes back to ready, once; a newer schema is refused.
  ExpectServe({"--key-pool", db.Keywords(), "--pool-import", (pool / "ready").string()}, 1,
              "nothing imported: key-00: already in the pool");
  ExpectServe({"--key-pool", db.Keywords(), "--pool-return", issued}, 0,
              "key " + issued + " back to ready");
  ExpectServe({"--key-pool", db.Uri(), "--pool-return", issued}, 1, "no spoiled key " + issued);
  ExpectServe({"--db-init", db.Uri()}, 0, "is there already (schema version 1)");
  ExpectServe({"--pool-import", "x"}, 2, "--pool-import needs --key-pool postgresql://");
  EXPECT_EQ(Number("SELECT count(*) FROM ternis_keys"), 4u);
  EXPECT_EQ(db.Query("SELECT state FROM ternis_keys WHERE name = '" + issued + "'"), "ready");

  // An end written and then replayed from the spool (the station stopped
  // before it emptied it) is there once; its key, back to ready and since
  // issued to another station, stays that station's.
  const std::string spool = Path("line-a.spool");
  std::string error, replay;
  std::vector<KeyMove> moved;
  {
    StationDatabase first("line-a", spool);
    ASSERT_TRUE(first.Open(db.Uri(), error)) << error;
    const auto key = first.Take("s0", moved, error);
    ASSERT_TRUE(key) << error;
    db.Query(
        "SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity"
        " WHERE backend_type = 'client backend' AND pid <> pg_backend_pid()");
    ASSERT_EQ(first.EndUnit(UnitRecord{}, key->name, KeyFate::kReady, error),
              StationDatabase::Written::kSpooled);
    replay = ReadText(spool);
    first.Upkeep(std::chrono::steady_clock::now());
    ASSERT_EQ(ReadText(spool), "") << "written when the database answered again";
  }
  StationDatabase other("line-b", Path("line-b.spool"));
  ASSERT_TRUE(other.Open(db.Uri(), error) && other.Take("s0", moved, error)) << error;
  dir.Write("line-a.spool", AsBytes(replay));
  StationDatabase again_line_a("line-a", spool);
  ASSERT_TRUE(again_line_a.Open(db.Uri(), error)) << error;
  EXPECT_EQ(Number("SELECT count(*) FROM ternis_records"), 2u) << "box2's unit, the replay once";
  EXPECT_EQ(db.Query("SELECT state || ' ' || station FROM ternis_keys WHERE state = 'issued'"),
            "issued line-b");

  // One image for every box, its records to the database.
  const std::string image = WriteImage(4096);
  box_runs.push_back(StartBox("box-c", {"--size", "4096", "--units", "1"}));
  ExpectServe({"--file", image, "--once", "--record", db.Uri(), "--station-name", "line-c",
               "--db-spool", Path("c.spool"), "s=" + Path("box-c")},
              0, "s: unit 1 PASS");
  EXPECT_EQ(db.Query("SELECT (record->>'result') || ' ' || (record->>'sha256')"
                     " FROM ternis_records WHERE station = 'line-c'"),
            "pass " + Sha256Sum(image));

  db.Query("UPDATE ternis_schema SET version = 99");
  ExpectServe({"--key-pool", db.Uri(), "--pool-status"}, 1,
              "schema is version 99, newer than this ternis-serve knows (1)");
}

}  // namespace
}  // namespace ternis
