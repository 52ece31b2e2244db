// The log: the file on disk (place, rotation, failures), the book that
// feeds it, and the log window on the offscreen platform.

#include "app/log_window.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "app/log_book.h"
#include "app/log_file.h"
#include "tests/support/holds.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

namespace fs = std::filesystem;
using test::Holds;

std::vector<std::string> ReadLines(const fs::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "line 1042" for each of first..last (up to 999): ten bytes each with its newline.
std::vector<std::string> NumberedLines(int first, int last) {
  std::vector<std::string> lines;
  for (int n = first; n <= last; ++n) lines.push_back("line " + std::to_string(1000 + n));
  return lines;
}

// Sets (or unsets) an environment variable for one scope; TZ is read again at once.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(old_); }

 private:
  void Set(const std::optional<std::string>& value) {
    value ? ::setenv(name_, value->c_str(), 1) : ::unsetenv(name_);
    ::tzset();
  }
  const char* name_;
  std::optional<std::string> old_;
};

TEST(LogFileTest, DefaultPathFollowsXdgStateHomeElseHome) {
  ScopedEnv home("HOME", "/home/operator");
  const fs::path under_home("/home/operator/.local/state/ternis/download.log");
  const std::pair<std::optional<std::string>, fs::path> cases[] = {
      {"/var/state/op", "/var/state/op/ternis/download.log"},
      {std::nullopt, under_home},
      {"", under_home},
      {"relative/state", under_home},  // invalid: ignored
  };
  for (const auto& [state, expected] : cases) {
    ScopedEnv set("XDG_STATE_HOME", state);
    EXPECT_EQ(LogFile::DefaultPath(), expected) << state.value_or("(unset)");
  }
}

// Two instances take turns at one file, rotated at 100 bytes (ten lines):
// three files keep the newest 30 lines, and enough files keep every line,
// each once. No part is ever over 100 bytes.
TEST(LogFileTest, RotationKeepsTheNewestLinesAndTwoInstancesLoseAndRepeatNoLine) {
  for (const int kept : {3, 100}) {
    test::TempDir dir;
    const fs::path file = dir.path() / "download.log";
    const auto part = [&](int n) {
      return n == 0 ? file : fs::path(file.string() + "." + std::to_string(n));
    };
    LogFile first(file, 100, kept);
    LogFile second(file, 100, kept);
    const auto lines = NumberedLines(1, 300);
    for (std::size_t n = 0; n < lines.size(); ++n) {
      LogFile& writer = n % 3 == 2 ? second : first;
      ASSERT_TRUE(writer.Append(lines[n])) << writer.error();
    }
    EXPECT_FALSE(fs::exists(part(kept)));
    std::vector<std::string> all;  // oldest first
    for (int n = kept - 1; n >= 0; --n) {
      if (!fs::exists(part(n))) continue;
      EXPECT_LE(fs::file_size(part(n)), 100u) << part(n);
      for (const std::string& line : ReadLines(part(n))) all.push_back(line);
    }
    EXPECT_EQ(all, NumberedLines(kept == 3 ? 271 : 1, 300)) << kept;
  }
}

// A private directory and file; a write cut short (the size limit stands
// in for a full disk) leaves the next line whole; a FIFO at the path fails
// without holding the window, whether or not anything reads it. Each
// failure is reported, and the next line gets through.
TEST(LogFileTest, FileIsPrivateAndFailuresAreReportedAndTheNextLineGetsThrough) {
  test::TempDir dir;
  const fs::path file = dir.path() / "state" / "ternis" / "download.log";
  LogFile log(file);
  ASSERT_TRUE(log.Append("kept\n1")) << log.error();  // a line break inside becomes a space
  EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit small = old_limit;
  small.rlim_cur = fs::file_size(file) + 4;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool cut_written = log.Append("cut in the middle");
  const std::string cut_error = log.error();
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(cut_written);
  EXPECT_FALSE(cut_error.empty());
  EXPECT_TRUE(log.Append("kept 2")) << log.error();
  EXPECT_TRUE(log.error().empty());
  EXPECT_EQ(test::ReadText(file.string()), "kept 1\ncut \nkept 2\n");

  const fs::path fifo = dir.path() / "fifo.log";
  LogFile at_fifo(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(at_fifo.Append("lost 1"));
  EXPECT_TRUE(Holds(at_fifo.error(), fifo.string()));
  {
    UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader.valid());
    EXPECT_FALSE(at_fifo.Append("lost 2"));
    EXPECT_TRUE(Holds(at_fifo.error(), "not a regular file"));
  }
  fs::remove(fifo);
  EXPECT_TRUE(at_fifo.Append("kept")) << at_fifo.error();
}

// Local time, in a zone neither UTC nor a whole hour away from it.
TEST(LogBookTest, FormatsLocalTimesIntoTheFileKeepsTheLatestAndSaysAFileNotWritten) {
  ScopedEnv zone("TZ", "XST-5:30");
  test::TempDir dir;
  LogFile file(dir.path() / "download.log");
  LogBook book(&file);
  book.Append(QStringLiteral("COM1 opened"));
  book.Append(QStringLiteral("Boot-up acknowledged"), QStringLiteral("ttyUSB3"));
  ASSERT_EQ(book.lines().size(), 2u);
  const LogLine& line = book.lines()[1];
  EXPECT_EQ(line.time.offsetFromUtc(), 5 * 3600 + 1800);
  const QDateTime local = QDateTime::fromMSecsSinceEpoch(line.time.toMSecsSinceEpoch());
  EXPECT_EQ(LogBook::Format(line), local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) +
                                       QStringLiteral(" [ttyUSB3] Boot-up acknowledged"));
  // A burst reaches the file in one write, once the event loop turns.
  std::vector<std::string> lines;
  ASSERT_TRUE(QTest::qWaitFor([&] { return (lines = ReadLines(file.path())).size() == 2; }, 10000));
  EXPECT_EQ(lines[0], LogBook::Format(book.lines()[0]).toStdString());
  EXPECT_EQ(lines[1], LogBook::Format(line).toStdString());

  // Bounded by bytes: long lines leave fewer in memory; the newest stay.
  LogBook bounded;
  const QString padding(1000, QLatin1Char('x'));
  const std::size_t fit = LogBook::kBytesKept / LogBook::CostOf({{}, {}, padding + "00000"});
  for (std::size_t n = 0; n < fit + 1000; ++n)
    bounded.Append(QString::number(100000 + n).right(5) + padding);
  EXPECT_LE(bounded.bytes_kept(), LogBook::kBytesKept);
  EXPECT_EQ(bounded.lines().size(), fit);
  EXPECT_TRUE(bounded.lines().front().text.startsWith(QStringLiteral("01000")));

  // A folder at the file's path: said once, and the file catches up once it goes.
  LogFile blocked(dir.path() / "blocked.log");
  fs::create_directory(blocked.path());
  LogBook said(&blocked);
  said.Append(QStringLiteral("one"));
  said.Flush();
  said.Append(QStringLiteral("two"));
  said.Flush();
  ASSERT_EQ(said.lines().size(), 3u);
  EXPECT_TRUE(said.lines()[1].text.startsWith(QStringLiteral("Log file not written:")))
      << said.lines()[1].text.toStdString();
  fs::remove(blocked.path());
  said.Append(QStringLiteral("three"));
  said.Flush();
  EXPECT_EQ(said.lines().size(), 4u);
  lines = ReadLines(blocked.path());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(Holds(lines[0], " three"));
}

class LogWindowTest : public testing::Test {
 protected:
  QStringList ViewLines() const {
    return window.view()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  }
  // New lines reach the view from the event loop.
  bool ViewEndsWith(const QString& text) const {
    return QTest::qWaitFor([&] { return ViewLines().value(ViewLines().size() - 1).endsWith(text); },
                           10000);
  }
  QScrollBar* bar() const { return window.view()->verticalScrollBar(); }
  QString Shown() const { return window.view()->toPlainText() + "\n"; }

  LogBook book;
  LogWindow window{book};
};

TEST_F(LogWindowTest, ShowsEveryLineWithItsTimeAndFollowsUnlessScrolledUp) {
  book.Append(QStringLiteral("before the window"));
  LogWindow late(book);  // lines already in the book are shown at once
  EXPECT_EQ(late.view()->toPlainText(), LogBook::Format(book.lines()[0]));
  EXPECT_TRUE(late.view()->isReadOnly());

  for (int n = 0; n < 150; ++n) book.Append(QStringLiteral("line %1").arg(n));
  ASSERT_TRUE(ViewEndsWith(QStringLiteral(" line 149")));
  window.show();  // opens at the end
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  ASSERT_GT(bar()->maximum(), 0);
  EXPECT_EQ(bar()->value(), bar()->maximum());
  for (int n = 150; n < 300; ++n) book.Append(QStringLiteral("line %1").arg(n));
  ASSERT_TRUE(ViewEndsWith(QStringLiteral(" line 299")));
  const QStringList lines = ViewLines();
  ASSERT_EQ(lines.size(), 301);
  for (int n = 0; n < 301; ++n) EXPECT_EQ(lines[n], LogBook::Format(book.lines()[n]));
  EXPECT_EQ(bar()->value(), bar()->maximum());

  bar()->setValue(0);  // the reader scrolls up
  book.Append(QStringLiteral("while reading"));
  // After a quiet spell a line is shown at once, without the event loop.
  EXPECT_TRUE(ViewLines().last().endsWith(QStringLiteral(" while reading")));
  EXPECT_EQ(bar()->value(), 0);

  bar()->setValue(bar()->maximum());
  book.Append(QStringLiteral("following again"));
  ASSERT_TRUE(ViewEndsWith(QStringLiteral(" following again")));
  EXPECT_EQ(bar()->value(), bar()->maximum());

  window.hide();  // reopened scrolled up: it opens at the end again
  bar()->setValue(0);
  for (int n = 0; n < 150; ++n) book.Append(QStringLiteral("while closed %1").arg(n));
  ASSERT_TRUE(ViewEndsWith(QStringLiteral(" while closed 149")));
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  EXPECT_TRUE(QTest::qWaitFor([&] { return bar()->value() == bar()->maximum(); }, 10000));
}

// Copy (the selection with Ctrl+C, or all), Save and a slot's filter take
// what the window shows; a save that fails is said where the reader looks.
TEST_F(LogWindowTest, CopiesSavesAndFiltersWhatItShows) {
  test::TempDir dir;
  const auto in_dir = [&](const char* name) { return QString::fromStdString(dir.path() / name); };
  book.Append(QStringLiteral("window line"));
  book.Append(QStringLiteral("a1"), QStringLiteral("ttyUSB0"));
  book.Append(QStringLiteral("b1"), QStringLiteral("ttyUSB1"));
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QApplication::clipboard()->clear();
  QTextCursor cursor(window.view()->document()->findBlockByNumber(1));
  cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  window.view()->setTextCursor(cursor);
  window.view()->setFocus();
  QTest::keyClick(window.view(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), LogBook::Format(book.lines()[1]));
  QTest::mouseClick(window.copyAllButton(), Qt::LeftButton);
  EXPECT_EQ(QApplication::clipboard()->text(), Shown());

  QTest::mouseClick(window.saveButton(), Qt::LeftButton);
  auto* dialog = window.findChild<QFileDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());  // without a nested event loop
  const QString chosen = in_dir("chosen.txt");
  dialog->selectFile(chosen);
  static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept is protected
  EXPECT_EQ(QString::fromStdString(test::ReadText(chosen.toStdString())), Shown());

  window.SetSlotFilter(QStringLiteral("ttyUSB0"));
  EXPECT_TRUE(window.windowTitle().contains(QStringLiteral("ttyUSB0")));
  book.Append(QStringLiteral("b2"), QStringLiteral("ttyUSB1"));
  book.Append(QStringLiteral("a2"), QStringLiteral("ttyUSB0"));
  ASSERT_TRUE(ViewEndsWith(QStringLiteral(" [ttyUSB0] a2")));
  ASSERT_EQ(ViewLines().size(), 2);
  EXPECT_TRUE(ViewLines()[0].endsWith(QStringLiteral(" [ttyUSB0] a1")));
  const QString one = in_dir("one.txt");
  ASSERT_TRUE(window.SaveTo(one));
  EXPECT_EQ(QString::fromStdString(test::ReadText(one.toStdString())), Shown());

  const QString nowhere = in_dir("missing/x.txt");
  EXPECT_FALSE(window.SaveTo(nowhere));
  EXPECT_TRUE(book.lines().back().text.contains(nowhere));
  // Said where the reader is looking, though it is about no slot.
  EXPECT_TRUE(QTest::qWaitFor([&] { return ViewLines().last().contains(nowhere); }, 10000));

  window.SetSlotFilter(QString());
  EXPECT_FALSE(window.windowTitle().contains(QStringLiteral("ttyUSB0")));
  EXPECT_EQ(ViewLines().size(), 6);
  QTest::mouseClick(window.closeButton(), Qt::LeftButton);
  EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace ternis
