// Each cause of a port that cannot be used, on a real case where the
// machine allows it: a pty held by another process, a regular file,
// /dev/null, a missing path; permission is seen end to end in
// ternis_serve_test (it needs another user).

#include "station/port_diagnosis.h"
#include "station/printable_text.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/process.h"
#include "tests/support/pty_box.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace ternis {
namespace {

TEST(PortDiagnosis, NamesTheCauseAndWhatToDo) {
  test::TempDir dir;
  const std::string file = dir.Write("firmware.hex", {1, 2, 3});
  struct Case {
    const char* what;
    PortFailure failure;
    PortProblem problem;
    std::vector<std::string> expected;  // pieces of the text, in order
  };
  const Case cases[] = {
      {"missing, with devices of similar names",
       {(dir.path() / "ttyUSB2").string(), ENOENT, false, {}, {"/dev/ttyUSB0", "/dev/ttyUSB1"}},
       PortProblem::kMissing,
       {"ttyUSB2 does not exist", "present with a similar name: /dev/ttyUSB0, /dev/ttyUSB1",
        "ternis-serve --list shows every serial device"}},
      {"a regular file", {file, ENOTTY, true, {}, {}}, PortProblem::kNotSerial,
       {file + " is not a serial device: it is a regular file"}},
      {"a device that is not a terminal", {"/dev/null", ENOTTY, true, {}, {}},
       PortProblem::kNotSerial,
       {"/dev/null is not a serial device: it is a character device that is not a terminal"}},
      {"a directory", {dir.path().string(), EISDIR, false, {}, {}}, PortProblem::kNotSerial,
       {"it is a directory"}},
  };
  for (const Case& c : cases) {
    const PortDiagnosis d = DiagnosePort(c.failure);
    EXPECT_EQ(d.problem, c.problem) << c.what;
    std::size_t at = 0;
    for (const std::string& piece : c.expected) {
      at = d.Text().find(piece, at);
      EXPECT_NE(at, std::string::npos) << c.what << ": " << piece << " in\n" << d.Text();
    }
  }
}

TEST(PortDiagnosis, RefusedSettingsSayWhichOne) {
  test::PtyBox line;
  struct Case {
    LineSettings settings;
    std::string hint;
  };
  const Case cases[] = {
      {{9600, 8, kParityMark, kStopOne}, "mark and space parity need a driver with CMSPAR support"},
      {{9600, 8, kParityNone, kStopOneAndHalf}, "1.5 stop bits cannot be set on Linux"},
      {{256000, 8, kParityNone, kStopOne}, "the adapter may not take 256000 baud"},
  };
  for (const Case& c : cases) {
    const PortDiagnosis d = DiagnosePort({line.port_path(), EINVAL, true, c.settings, {}});
    EXPECT_EQ(d.problem, PortProblem::kSettingsRefused);
    EXPECT_EQ(d.Text(), "the driver of " + line.port_path() + " refused the line settings; " +
                            c.hint);
  }
}

// The holder is found in /proc by device number and named with its command
// line, escaped: anyone can put a newline or a terminal's escape in theirs.
TEST(PortDiagnosis, APortInUseNamesTheProcessThatHoldsIt) {
  test::PtyBox line;
  test::TempDir dir;
  test::Process holder(
      {"/bin/bash", "-c", "exec 3<>" + line.port_path() + "; exec -a $'sleep\\n\\e[2J' sleep 30"},
      (dir.path() / "out").string(), (dir.path() / "err").string());
  const std::string command = "sleep\\n\\x1b[2J 30";
  // The shell holds the port before it becomes sleep; wait for the exec.
  std::vector<ProcessInfo> holders;
  test::WaitUntil([&] {
    holders = ProcessesHolding(line.port_path());
    std::erase_if(holders, [](const ProcessInfo& p) { return p.pid == ::getpid(); });
    return holders.size() == 1 && holders[0].command == command;
  });
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_EQ(holders[0].pid, holder.pid());
  EXPECT_EQ(holders[0].command, command);

  const PortDiagnosis d = DiagnosePort({line.port_path(), EBUSY, false, {}, {}});
  EXPECT_EQ(d.problem, PortProblem::kHeld);
  EXPECT_NE(d.Text().find(line.port_path() + " is in use by another program; held by process " +
                          std::to_string(holder.pid()) + ": " + command),
            std::string::npos)
      << d.Text();
}

TEST(PrintableText, EscapesWhatCouldForgeALineOrDriveATerminal) {
  const std::string plain = "/dev/ttyUSB0 s1 \\ caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xba";
  const std::pair<std::string, std::string> cases[] = {
      {plain, plain},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {std::string("nul\0bel\a", 8) + "\x1b[2J\x7f", "nul\\x00bel\\x07\\x1b[2J\\x7f"},
      {"csi \xc2\x9b" "31m, nbsp \xc2\xa0", "csi \\u009b31m, nbsp \xc2\xa0"},
      {"latin-1 caf\xe9", "latin-1 caf\\xe9"},
      {"cut \xe2\x82", "cut \\xe2\\x82"},
      {"overlong \xc0\xaf \xe0\x80\xaf", "overlong \\xc0\\xaf \\xe0\\x80\\xaf"},
      {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"},
      {"past U+10FFFF \xf4\x90\x80\x80", "past U+10FFFF \\xf4\\x90\\x80\\x80"},
  };
  for (const auto& [text, shown] : cases) {
    EXPECT_EQ(PrintableText(text), shown);
    EXPECT_EQ(PrintableText(shown), shown) << "escaping twice changes nothing";
  }
}

TEST(PortDiagnosis, GroupAdviceFitsTheAccountAndTheLogin) {
  EXPECT_EQ(GroupAdvice("dialout", false, false),
            "you are not in group dialout: sudo usermod -aG dialout $USER, then log in again");
  EXPECT_EQ(GroupAdvice("dialout", true, false),
            "your account is in group dialout, but this login does not have it yet: log out and "
            "in again");
  EXPECT_EQ(GroupAdvice("dialout", true, true),
            "this login is in group dialout, yet it was refused");
  EXPECT_EQ(ModeString(S_IFCHR | 0660), "crw-rw----");
  EXPECT_EQ(ModeString(S_IFREG | 0604), "-rw----r--");
}

}  // namespace
}  // namespace ternis
