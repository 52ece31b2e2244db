// ternis-serve and stb-sim end to end, as separate processes over real
// pseudo-terminals.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/pty_box.h"
#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

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
    args.insert(args.begin(), {STB_SIM_PATH, "--pty", Path(link)});
    auto box = std::make_unique<Process>(args, Path(link + ".out"), Path(link + ".err"));
    EXPECT_TRUE(WaitForText(Path(link + ".err"), "box on")) << ReadText(Path(link + ".err"));
    return box;
  }

  std::unique_ptr<Process> StartServe(std::vector<std::string> args) {
    args.insert(args.begin(), TERNIS_SERVE_PATH);
    return std::make_unique<Process>(args, Path("serve.out"), Path("serve.err"));
  }

  std::string ServeErr() const { return ReadText(Path("serve.err")); }

  // Every line of the record file, parsed (a broken line fails the test).
  std::vector<nlohmann::json> Records() const {
    std::vector<nlohmann::json> records;
    std::istringstream in(ReadText(Path("records.jsonl")));
    for (std::string line; std::getline(in, line);) {
      try {
        records.push_back(nlohmann::json::parse(line));
      } catch (const nlohmann::json::exception& e) {
        ADD_FAILURE() << "not a whole JSON line: " << line << " (" << e.what() << ")";
      }
    }
    return records;
  }

  std::string Sha256Sum(const std::string& file) {
    Process sum({"/usr/bin/sha256sum", file}, Path("sum.out"), Path("sum.err"));
    EXPECT_EQ(sum.Wait(), 0);
    return ReadText(Path("sum.out")).substr(0, 64);
  }

  test::TempDir dir;
};

TEST_F(ServeTest, ServesSeveralBoxesAtOnceAndEndsWithOnce) {
  const std::string image = WriteImage(1'000'003);
  auto a = StartBox("a", {"--reference", image});
  auto b = StartBox(
      "b", {"--reference", image, "--chunk", "4096", "--order", "random", "--past-end", "300"});
  auto c = StartBox("c", {"--reference", image, "--chunk", "65535"});
  auto serve =
      StartServe({"--file", image, "--once", "--timeout", "60", Path("a"), Path("b"), Path("c")});

  EXPECT_EQ(serve->Wait(), 0) << ServeErr();
  for (const char* box : {"a", "b", "c"}) {
    EXPECT_EQ((box == std::string("a")   ? a
               : box == std::string("b") ? b
                                         : c)
                  ->Wait(),
              0)
        << box << ": " << ReadText(Path(std::string(box) + ".err"));
    EXPECT_NE(ReadText(Path(std::string(box) + ".out")).find("every byte checked"),
              std::string::npos);
    const std::string device = Path(box);
    EXPECT_NE(ServeErr().find(device + ": Connected Successfully"), std::string::npos);
    EXPECT_NE(ServeErr().find(device + ": unit 1 started (box booted)"), std::string::npos);
    EXPECT_NE(ServeErr().find(device + ": unit 1 PASS in "), std::string::npos) << ServeErr();
    // A box that finished first exits, so its port may be gone by the end.
    EXPECT_TRUE(ServeErr().find(device + ": Disconnected") != std::string::npos ||
                ServeErr().find(device + ": device lost") != std::string::npos)
        << ServeErr();
  }
}

TEST_F(ServeTest, PlainProgressLinesAtMostEveryTenPercent) {
  const std::string image = WriteImage(400'000);
  // The box spends half a second "writing": long enough to be seen.
  auto box = StartBox("box", {"--reference", image, "--chunk", "512", "--write-time", "0.5"});
  auto serve = StartServe({"--file", image, "--once", Path("box")});
  ASSERT_EQ(serve->Wait(), 0) << ServeErr();
  EXPECT_EQ(box->Wait(), 0);
  const std::string err = ServeErr();
  const std::regex progress(Path("box") + ": [0-9]+% \\(");
  const auto lines = std::distance(std::sregex_iterator(err.begin(), err.end(), progress), {});
  EXPECT_GE(lines, 2) << err;
  EXPECT_LE(lines, 14) << err;  // 0..100 by tens, plus phase changes
  EXPECT_NE(err.find(": 100% (400000 of 400000 bytes) writing"), std::string::npos) << err;
  EXPECT_TRUE(std::regex_search(err, std::regex(R"(\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d )" +
                                                Path("box") + ": PASS in ")))
      << "timestamped\n" << err;
}

// Random order climbs steadily: the percent is the part of the image served.
TEST_F(ServeTest, ProgressCountsTheBytesCoveredWhateverTheOrder) {
  const std::string image = WriteImage(200'000);
  auto box = StartBox("box", {"--reference", image, "--chunk", "1000", "--order", "random",
                              "--line-rate", "4000000", "--write-time", "0.5"});
  auto serve = StartServe({"--file", image, "--once", Path("box")});
  ASSERT_EQ(serve->Wait(), 0) << ServeErr();
  const std::string err = ServeErr();
  const std::regex progress(Path("box") + ": ([0-9]+)% \\(");
  int last = -1;
  for (auto it = std::sregex_iterator(err.begin(), err.end(), progress); it != std::sregex_iterator();
       ++it) {
    const int percent = std::stoi((*it)[1]);
    EXPECT_GE(percent, last) << err;
    last = percent;
  }
  EXPECT_EQ(last, 100) << err;
}

// --once: every slot gets one unit; a failed one makes the status 1 and says why.
TEST_F(ServeTest, OnceExitsOneWhenAUnitFailsAndSaysWhy) {
  const std::string image = WriteImage(100'000);
  auto good = StartBox("good", {"--reference", image});
  auto quiet = StartBox("quiet", {"--reference", image, "--stop-after", "3", "--hold", "5"});
  auto serve = StartServe({"--file", image, "--once", "--unit-timeout", "0.3", "--timeout", "30",
                           Path("good"), Path("quiet")});
  EXPECT_EQ(serve->Wait(), 1) << ServeErr();
  EXPECT_NE(ServeErr().find(Path("good") + ": unit 1 PASS in "), std::string::npos) << ServeErr();
  const std::regex failed(Path("quiet") +
                          ": unit 1 FAIL after [0-9.]+ s: box stopped asking \\(0.3 s\\) "
                          "\\(96928 bytes missing\\)");
  EXPECT_TRUE(std::regex_search(ServeErr(), failed)) << ServeErr();
  quiet->Signal(SIGTERM);
}

TEST_F(ServeTest, BoxNoticesWrongBytes) {
  const std::string image = WriteImage(50'000);
  const std::string other = dir.Write("other.bin", std::vector<std::uint8_t>(50'000, 0x42));
  auto box = StartBox("box", {"--reference", image, "--reply-timeout", "5"});
  auto serve = StartServe({"--file", other, "--timeout", "30", Path("box")});
  EXPECT_EQ(box->Wait(), 1);
  EXPECT_NE(ReadText(Path("box.err")).find("mismatch at offset 0"), std::string::npos);
  serve->Signal(SIGTERM);
  serve->Wait();
}

// How the server ends, and the status it ends with.
TEST_F(ServeTest, ExitStatusSaysHowItEnded) {
  const std::string image = WriteImage(200'000);
  struct Case {
    const char* what;
    std::vector<std::string> box;  // empty: no box on the line at all
    std::vector<std::string> serve;
    int signal;  // sent once the box is being served; 0 for none
    int status;
  };
  const std::vector<Case> cases = {
      {"timeout before a slot had a result", {}, {"--once", "--timeout", "0.3"}, 0, 3},
      {"timeout cutting a unit short", {"--stop-after", "2", "--hold", "5"},
       {"--timeout", "0.8"}, 0, 3},
      {"SIGINT mid-unit", {"--stop-after", "2", "--hold", "5"}, {}, SIGINT, 130},
      {"SIGTERM mid-unit", {"--stop-after", "2", "--hold", "5"}, {}, SIGTERM, 143},
      {"SIGTERM while idle", {"--hold", "5"}, {}, SIGTERM, 0},
  };
  for (const Case& c : cases) {
    std::unique_ptr<Process> box;
    test::PtyBox line;  // a line where no box speaks
    std::string device = line.port_path();
    if (!c.box.empty()) {
      std::vector<std::string> args = c.box;
      args.insert(args.begin(), {"--reference", image});
      box = StartBox("box", args);
      device = Path("box");
    }
    std::vector<std::string> args = c.serve;
    args.insert(args.begin(), {"--file", image, "--record", Path("records.jsonl")});
    args.push_back("s1=" + device);
    auto serve = StartServe(args);
    if (c.signal) {
      const std::string wait_for = c.status == 0 ? "unit 1 PASS" : "unit 1 started";
      ASSERT_TRUE(WaitForText(Path("serve.err"), wait_for)) << c.what << "\n" << ServeErr();
      serve->Signal(c.signal);
    }
    EXPECT_EQ(serve->Wait(), c.status) << c.what << "\n" << ServeErr();
    if (c.status == 130 || c.status == 143) {
      const auto records = Records();
      ASSERT_FALSE(records.empty()) << c.what;
      EXPECT_EQ(records.back()["result"], "aborted") << c.what;
      EXPECT_EQ(records.back()["reason"], "interrupted") << c.what;
    }
    std::filesystem::remove(Path("records.jsonl"));
  }
}

// Continuous by default: unit after unit on one slot, each recorded, and
// the record says which file (its SHA-256 as sha256sum has it) and how.
TEST_F(ServeTest, ContinuousModeRecordsEveryUnit) {
  const std::string image = WriteImage(30'000);
  auto box = StartBox("box", {"--reference", image, "--units", "3", "--unit-gap", "0.05",
                              "--hold", "5"});
  auto serve = StartServe({"--file", image, "--record", Path("records.jsonl"), "--json",
                           "line-1=" + Path("box")});
  ASSERT_TRUE(WaitForText(Path("serve.err"), "unit 3 PASS")) << ServeErr();
  serve->Signal(SIGTERM);
  EXPECT_EQ(serve->Wait(), 0) << "stopped while idle, every unit passed\n" << ServeErr();

  const std::string sha = Sha256Sum(image);
  const auto records = Records();
  ASSERT_EQ(records.size(), 3u);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto& r = records[i];
    for (const char* field : {"slot", "device", "unit", "result", "reason", "image", "size",
                              "sha256", "started", "ended", "duration_s", "bytes_served",
                              "requests", "missing_bytes", "host", "tool_version"})
      EXPECT_TRUE(r.contains(field)) << field;
    EXPECT_EQ(r["slot"], "line-1");
    EXPECT_EQ(r["device"], Path("box"));
    EXPECT_EQ(r["unit"], i + 1);
    EXPECT_EQ(r["result"], "pass");
    EXPECT_EQ(r["reason"], "");
    EXPECT_EQ(r["image"], image);
    EXPECT_EQ(r["size"], 30'000);
    EXPECT_EQ(r["sha256"], sha);
    EXPECT_EQ(r["bytes_served"], 30'000);
    EXPECT_EQ(r["requests"], 30);
    EXPECT_EQ(r["missing_bytes"], 0);
    EXPECT_TRUE(std::regex_match(r["started"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)")))
        << r["started"];
  }
  EXPECT_EQ(std::filesystem::status(Path("records.jsonl")).permissions() &
                std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read);

  // --json: nothing but events on stdout; a unit event is its record plus "event".
  std::vector<nlohmann::json> units;
  std::set<std::string> kinds;
  std::istringstream out(ReadText(Path("serve.out")));
  for (std::string line; std::getline(out, line);) {
    const auto event = nlohmann::json::parse(line);  // throws on anything else
    kinds.insert(event["event"].get<std::string>());
    if (event["event"] == "unit") units.push_back(event);
  }
  EXPECT_EQ(kinds, (std::set<std::string>{"start", "slot", "progress", "unit", "summary"}));
  ASSERT_EQ(units.size(), 3u);
  auto first = units[0];
  first.erase("event");
  EXPECT_EQ(first, records[0]);
}

// A file changed on disk is noticed once; the server keeps serving what it
// loaded until SIGHUP, and records say which bytes each unit got.
TEST_F(ServeTest, SighupServesTheChangedFileToTheNextUnits) {
  const std::string image = WriteImage(30'000);
  const std::string old_sha = Sha256Sum(image);
  auto box = StartBox("box", {"--size", "30000", "--boot-delay", "3", "--hold", "5"});
  auto serve =
      StartServe({"--file", image, "--once", "--record", Path("records.jsonl"), Path("box")});
  ASSERT_TRUE(WaitForText(Path("serve.err"), "Connected Successfully")) << ServeErr();
  dir.Write("image.bin", std::vector<std::uint8_t>(30'000, 0x5A));
  ASSERT_TRUE(WaitForText(Path("serve.err"), "changed on disk; still serving the bytes loaded"))
      << ServeErr();
  serve->Signal(SIGHUP);
  ASSERT_TRUE(WaitForText(Path("serve.err"), "reloaded")) << ServeErr();
  EXPECT_EQ(serve->Wait(), 0) << ServeErr();
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["sha256"], Sha256Sum(image));
  EXPECT_NE(records[0]["sha256"], old_sha);
}

// A SIGKILL at any moment leaves only whole lines behind.
TEST_F(ServeTest, RecordsSurviveAKill) {
  const std::string image = WriteImage(2'000);
  auto box = StartBox("box", {"--reference", image, "--units", "0", "--unit-gap", "0"});
  auto serve = StartServe({"--file", image, "--record", Path("records.jsonl"), Path("box")});
  ASSERT_TRUE(WaitForText(Path("serve.err"), "unit 20 PASS")) << ServeErr();
  serve->Signal(SIGKILL);
  serve->Wait();
  const std::string text = ReadText(Path("records.jsonl"));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_GE(Records().size(), 20u);  // every line parses
}

// One absent adapter among several stops nothing; it is served once it appears.
TEST_F(ServeTest, AMissingDeviceIsWaitedForWhileTheOthersServe) {
  const std::string image = WriteImage(50'000);
  auto present = StartBox("present", {"--reference", image});
  auto serve = StartServe({"--file", image, "--once", "--timeout", "30", "a=" + Path("present"),
                           "b=" + Path("later")});
  ASSERT_TRUE(WaitForText(Path("serve.err"), "a: unit 1 PASS")) << ServeErr();
  EXPECT_NE(ServeErr().find("b: Cannot open COM port(Error Code=2). (No such file or "
                            "directory); waiting for the device"),
            std::string::npos)
      << ServeErr();
  auto later = StartBox("later", {"--reference", image});
  EXPECT_EQ(serve->Wait(), 0) << ServeErr();
  EXPECT_NE(ServeErr().find("b: unit 1 PASS"), std::string::npos) << ServeErr();
  EXPECT_EQ(later->Wait(), 0);
}

TEST_F(ServeTest, SigtermEndsInAnOrderlyWay) {
  test::PtyBox box;
  const std::string image = WriteImage(10);
  auto serve = StartServe({"--file", image, box.port_path()});
  ASSERT_TRUE(WaitForText(Path("serve.err"), "Connected Successfully")) << ServeErr();
  serve->Signal(SIGTERM);
  EXPECT_EQ(serve->Wait(10s), 0);
  EXPECT_NE(ServeErr().find(box.port_path() + ": Disconnected"), std::string::npos) << ServeErr();
}

TEST_F(ServeTest, AFileThatCannotBeLoadedExitsOne) {
  test::PtyBox box;
  auto no_file = StartServe({"--file", Path("missing.bin"), box.port_path()});
  EXPECT_EQ(no_file->Wait(10s), 1);
  EXPECT_NE(ServeErr().find("cannot load " + Path("missing.bin") + ": No such file or directory"),
            std::string::npos);
}

TEST_F(ServeTest, BadArgumentsPrintUsageAndExitTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--file", "x"},
      {"/dev/ttyS0"},
      {"--file", "x", "--parity", "sometimes", "/dev/ttyS0"},
      {"--file", "x", "--data", "9", "/dev/ttyS0"},
      {"--file", "x", "--baud", "0", "/dev/ttyS0"},
      {"--file", "x", "--stop", "3", "/dev/ttyS0"},
      {"--file", "x", "--stop", "1.5", "/dev/ttyS0"},
      {"--file", "x", "--timeout", "-1", "/dev/ttyS0"},
      {"--file", "x", "--unit-timeout", "soon", "/dev/ttyS0"},
      {"--file", "x", "--bogus", "/dev/ttyS0"},
      {"--file", "x", "bad name=/dev/ttyS0"},
      {"--file", "x", "a=/dev/ttyS0", "a=/dev/ttyS1"},
      {"--file", "x", "a=/dev/ttyS0", "b=/dev/ttyS0"},
      {"--file", "x", "/dev/ttyS0", "/dev/ttyS0"},
      {"--file", "x", "a="},
  };
  for (const auto& args : bad) {
    auto serve = StartServe(args);
    EXPECT_EQ(serve->Wait(10s), 2) << testing::PrintToString(args);
    EXPECT_NE(ServeErr().find("Usage: ternis-serve"), std::string::npos);
  }
  auto help = StartServe({"--help"});
  EXPECT_EQ(help->Wait(10s), 0);
  EXPECT_NE(ReadText(Path("serve.out")).find("--record FILE"), std::string::npos);
}

}  // namespace
}  // namespace ternis
