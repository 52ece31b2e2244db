// ternis-serve and stb-sim end to end, as separate processes over real
// pseudo-terminals.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <regex>

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
  auto box = StartBox("box", {"--reference", image, "--chunk", "512"});
  auto serve = StartServe({"--file", image, "--once", Path("box")});
  ASSERT_EQ(serve->Wait(), 0) << ServeErr();
  EXPECT_EQ(box->Wait(), 0);
  const std::string err = ServeErr();
  const std::regex progress(Path("box") + ": [0-9]+% \\(");
  const auto lines = std::distance(std::sregex_iterator(err.begin(), err.end(), progress), {});
  EXPECT_GE(lines, 2) << err;
  EXPECT_LE(lines, 14) << err;  // 0..100 by tens, plus phase changes
  EXPECT_NE(err.find(": 100% (400000 of 400000 bytes) PASS in "), std::string::npos) << err;
}

// Random order climbs steadily: the percent is the part of the image served.
TEST_F(ServeTest, ProgressCountsTheBytesCoveredWhateverTheOrder) {
  const std::string image = WriteImage(200'000);
  auto box = StartBox("box", {"--reference", image, "--chunk", "1000", "--order", "random",
                              "--line-rate", "4000000"});
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
  EXPECT_EQ(serve->Wait(), 0);
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

TEST_F(ServeTest, TimeoutWithoutABoxExitsOne) {
  test::PtyBox box;
  auto serve =
      StartServe({"--file", WriteImage(10), "--once", "--timeout", "0.3", box.port_path()});
  EXPECT_EQ(serve->Wait(10s), 1);
  EXPECT_NE(ServeErr().find("timed out"), std::string::npos) << ServeErr();
}

TEST_F(ServeTest, DevicesThatCannotBeUsedAreNamedWithTheReason) {
  const std::string image = WriteImage(10);
  auto missing = StartServe({"--file", image, Path("no-such-tty")});
  EXPECT_EQ(missing->Wait(10s), 1);
  EXPECT_NE(ServeErr().find(Path("no-such-tty") +
                            ": Cannot open COM port(Error Code=2). (No such file or directory)"),
            std::string::npos)
      << ServeErr();

  test::PtyBox box;
  auto one_and_half = StartServe({"--file", image, "--stop", "1.5", box.port_path()});
  EXPECT_EQ(one_and_half->Wait(10s), 1);
  EXPECT_NE(ServeErr().find(box.port_path() + ": COM Port Settings Error...:22 (Invalid argument)"),
            std::string::npos)
      << ServeErr();

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
      {"--file", "x", "--timeout", "-1", "/dev/ttyS0"},
      {"--file", "x", "--bogus", "/dev/ttyS0"},
  };
  for (const auto& args : bad) {
    auto serve = StartServe(args);
    EXPECT_EQ(serve->Wait(10s), 2) << testing::PrintToString(args);
    EXPECT_NE(ServeErr().find("Usage: ternis-serve"), std::string::npos);
  }
  auto help = StartServe({"--help"});
  EXPECT_EQ(help->Wait(10s), 0);
  EXPECT_NE(ReadText(Path("serve.out")).find("--once"), std::string::npos);
}

}  // namespace
}  // namespace ternis
