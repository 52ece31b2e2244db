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
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "app/log_book.h"
#include "app/log_file.h"
#include "tests/support/holds.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

namespace fs = std::filesystem;
using test::Holds;

std::string ReadAll(const fs::path& file) { return test::ReadText(file.string()); }

std::vector<std::string> ReadLines(const fs::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

fs::path Numbered(const fs::path& file, int n) { return file.string() + "." + std::to_string(n); }

// "line 0042" for each of first..last: ten bytes each with its newline.
std::vector<std::string> NumberedLines(int first, int last) {
  std::vector<std::string> lines;
  char text[16];
  for (int n = first; n <= last; ++n) {
    std::snprintf(text, sizeof text, "line %04d", n);
    lines.push_back(text);
  }
  return lines;
}

// The lines of `file` and its up to `kept` rotated parts, oldest first;
// no part is over 100 bytes.
std::vector<std::string> KeptLines(const fs::path& file, int kept) {
  std::vector<std::string> all;
  for (int n = kept - 1; n >= 0; --n) {
    const fs::path part = n == 0 ? file : Numbered(file, n);
    if (!fs::exists(part)) continue;
    EXPECT_LE(fs::file_size(part), 100u) << part;
    for (const std::string& line : ReadLines(part)) all.push_back(line);
  }
  return all;
}

// Sets (or unsets) an environment variable for one scope.
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

TEST(LogFileTest, CreatesPrivateDirectoryAndFileAndContinuesAnExistingOne) {
  test::TempDir dir;
  const fs::path file = dir.path() / "state" / "ternis" / "download.log";
  {
    LogFile log(file);
    ASSERT_TRUE(log.Append("first")) << log.error();
  }
  struct stat status {};
  ASSERT_EQ(::stat(file.parent_path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  {
    LogFile log(file);
    ASSERT_TRUE(log.Append("second\nwith a break"));
  }
  EXPECT_EQ(ReadAll(file), "first\nsecond with a break\n");

  // The existing size counts toward the limit: 27 bytes + 10 would pass 30.
  LogFile log(file, 30);
  ASSERT_TRUE(log.Append("third 789"));
  EXPECT_EQ(ReadAll(Numbered(file, 1)), "first\nsecond with a break\n");
  EXPECT_EQ(ReadAll(file), "third 789\n");
}

TEST(LogFileTest, RotationKeepsThreeFilesWithEveryRecentLineOnce) {
  test::TempDir dir;
  const fs::path file = dir.path() / "download.log";
  LogFile log(file, 100);  // ten lines of ten bytes fill a file exactly
  for (const std::string& line : NumberedLines(1, 57)) ASSERT_TRUE(log.Append(line)) << log.error();
  EXPECT_FALSE(fs::exists(Numbered(file, 3)));
  EXPECT_EQ(KeptLines(file, 3), NumberedLines(31, 57));
}

TEST(LogFileTest, TwoInstancesAppendingAtOnceLoseAndRepeatNoLine) {
  test::TempDir dir;
  const fs::path file = dir.path() / "download.log";
  const int kept_files = 100;  // enough that nothing is dropped
  LogFile first(file, 100, kept_files);
  LogFile second(file, 100, kept_files);
  const auto lines = NumberedLines(1, 300);
  for (std::size_t n = 0; n < lines.size(); ++n) {
    LogFile& writer = n % 3 == 2 ? second : first;
    ASSERT_TRUE(writer.Append(lines[n])) << writer.error();
  }
  EXPECT_EQ(KeptLines(file, kept_files), lines);
}

TEST(LogFileTest, FailuresAreReportedAndTheNextLineGetsThrough) {
  test::TempDir dir;
  const fs::path file = dir.path() / "download.log";
  LogFile log(file);

  fs::create_directory(file);  // a directory where the file should be
  EXPECT_FALSE(log.Append("lost 1"));
  EXPECT_TRUE(Holds(log.error(), file.string()));
  fs::remove(file);

  // A FIFO must not hold the window, whether or not anything reads it.
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  EXPECT_FALSE(log.Append("lost 2"));
  EXPECT_TRUE(Holds(log.error(), file.string()));
  {
    UniqueFd reader(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader.valid());
    EXPECT_FALSE(log.Append("lost 3"));
    EXPECT_TRUE(Holds(log.error(), "not a regular file"));
  }
  fs::remove(file);

  EXPECT_TRUE(log.Append("kept 1")) << log.error();
  EXPECT_TRUE(log.error().empty());

  // A write cut short on the open file (the size limit stands in for a full disk).
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
  EXPECT_EQ(ReadAll(file), "kept 1\ncut \nkept 2\n");
}

TEST(LogBookTest, FormatsLinesIntoTheFileAndKeepsTheLatest) {
  test::TempDir dir;
  LogFile file(dir.path() / "download.log");
  LogBook book(&file);
  std::vector<QString> signalled;
  QObject::connect(&book, &LogBook::appended,
                   [&](const LogLine& line) { signalled.push_back(line.text); });
  book.Append(QStringLiteral("COM1 opened"));
  book.Append(QStringLiteral("Boot-up acknowledged"), QStringLiteral("ttyUSB3"));

  ASSERT_EQ(book.lines().size(), 2u);
  EXPECT_EQ(signalled, (std::vector<QString>{"COM1 opened", "Boot-up acknowledged"}));
  // A burst reaches the file in one write, once the event loop turns.
  std::vector<std::string> lines;
  EXPECT_TRUE(QTest::qWaitFor([&] { return (lines = ReadLines(file.path())).size() == 2; }, 10000));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], LogBook::Format(book.lines()[0]).toStdString());
  EXPECT_EQ(lines[1], LogBook::Format(book.lines()[1]).toStdString());
  const QRegularExpression stamp(QStringLiteral(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[ttyUSB3\] Boot-up acknowledged$)"));
  EXPECT_TRUE(stamp.match(QString::fromStdString(lines[1])).hasMatch()) << lines[1];

  // Bounded by bytes: long lines leave fewer in memory; the newest stay.
  LogBook bounded;
  const QString padding(1000, QLatin1Char('x'));
  const std::size_t fit = LogBook::kBytesKept / LogBook::CostOf({{}, {}, padding + "00000"});
  for (std::size_t n = 0; n < fit + 1000; ++n)
    bounded.Append(QStringLiteral("%1").arg(static_cast<qulonglong>(n), 5, 10, QLatin1Char('0')) +
                   padding);
  EXPECT_LE(bounded.bytes_kept(), LogBook::kBytesKept);
  EXPECT_EQ(bounded.lines().size(), fit);
  EXPECT_TRUE(bounded.lines().front().text.startsWith(
      QStringLiteral("%1").arg(static_cast<qulonglong>(1000), 5, 10, QLatin1Char('0'))));
}

TEST(LogBookTest, TimesAreLocal) {
  {
    ScopedEnv zone("TZ", "XST-5:30");  // neither UTC nor a whole hour away from it
    ::tzset();
    LogBook book;
    book.Append(QStringLiteral("now"));
    const LogLine& line = book.lines()[0];
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(line.time.toMSecsSinceEpoch());
    EXPECT_EQ(LogBook::Format(line),
              local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) + QStringLiteral(" now"));
    EXPECT_EQ(line.time.offsetFromUtc(), 5 * 3600 + 1800);
  }
  ::tzset();
}

TEST(LogBookTest, AFileThatCannotBeWrittenIsSaidOnceAndCatchesUp) {
  test::TempDir dir;
  LogFile file(dir.path() / "download.log");
  fs::create_directory(file.path());
  LogBook book(&file);
  book.Append(QStringLiteral("one"));
  book.Flush();
  book.Append(QStringLiteral("two"));
  book.Flush();
  ASSERT_EQ(book.lines().size(), 3u);
  EXPECT_TRUE(book.lines()[1].text.startsWith(QStringLiteral("Log file not written:")))
      << book.lines()[1].text.toStdString();
  fs::remove(file.path());
  book.Append(QStringLiteral("three"));
  book.Flush();
  EXPECT_EQ(book.lines().size(), 4u);
  const std::vector<std::string> lines = ReadLines(file.path());
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

TEST_F(LogWindowTest, SlotFilterShowsOnlyThatSlot) {
  book.Append(QStringLiteral("window line"));
  book.Append(QStringLiteral("a1"), QStringLiteral("ttyUSB0"));
  book.Append(QStringLiteral("b1"), QStringLiteral("ttyUSB1"));
  window.SetSlotFilter(QStringLiteral("ttyUSB0"));
  EXPECT_TRUE(window.windowTitle().contains(QStringLiteral("ttyUSB0")));
  book.Append(QStringLiteral("b2"), QStringLiteral("ttyUSB1"));
  book.Append(QStringLiteral("a2"), QStringLiteral("ttyUSB0"));
  ASSERT_TRUE(ViewEndsWith(QStringLiteral(" [ttyUSB0] a2")));
  const QStringList lines = ViewLines();
  ASSERT_EQ(lines.size(), 2);
  EXPECT_TRUE(lines[0].endsWith(QStringLiteral(" [ttyUSB0] a1")));

  window.SetSlotFilter(QString());
  EXPECT_FALSE(window.windowTitle().contains(QStringLiteral("ttyUSB0")));
  EXPECT_EQ(ViewLines().size(), 5);
}

TEST_F(LogWindowTest, SavesWhatItShowsAndReportsASaveThatFails) {
  test::TempDir dir;
  const auto in_dir = [&](const char* name) { return QString::fromStdString(dir.path() / name); };
  book.Append(QStringLiteral("window line"));
  book.Append(QStringLiteral("a1"), QStringLiteral("ttyUSB0"));
  ASSERT_TRUE(ViewEndsWith(QStringLiteral(" a1")));
  const QString all = in_dir("all.txt");
  ASSERT_TRUE(window.SaveTo(all));
  EXPECT_EQ(QString::fromStdString(ReadAll(all.toStdString())),
            window.view()->toPlainText() + "\n");

  window.show();
  QTest::mouseClick(window.saveButton(), Qt::LeftButton);
  auto* dialog = window.findChild<QFileDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());  // without a nested event loop
  const QString chosen = in_dir("chosen.txt");
  dialog->selectFile(chosen);
  static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept is protected
  EXPECT_EQ(ReadAll(chosen.toStdString()), ReadAll(all.toStdString()));

  window.SetSlotFilter(QStringLiteral("ttyUSB0"));
  const QString one = in_dir("one.txt");
  ASSERT_TRUE(window.SaveTo(one));
  EXPECT_EQ(ReadAll(one.toStdString()), LogBook::Format(book.lines()[1]).toStdString() + "\n");

  const QString nowhere = in_dir("missing/x.txt");
  EXPECT_FALSE(window.SaveTo(nowhere));
  EXPECT_FALSE(fs::exists(nowhere.toStdString()));
  ASSERT_EQ(book.lines().size(), 3u);
  EXPECT_TRUE(book.lines().back().text.contains(nowhere));
  // Said where the reader is looking, though it is about no slot.
  EXPECT_TRUE(QTest::qWaitFor([&] { return ViewLines().last().contains(nowhere); }, 10000));
}

TEST_F(LogWindowTest, CopiesTheSelectionAndEverything) {
  book.Append(QStringLiteral("first"));
  book.Append(QStringLiteral("second"));
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  ASSERT_TRUE(ViewEndsWith(QStringLiteral(" second")));
  QApplication::clipboard()->clear();

  QTextCursor cursor(window.view()->document()->findBlockByNumber(1));
  cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  window.view()->setTextCursor(cursor);
  window.view()->setFocus();
  QTest::keyClick(window.view(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), LogBook::Format(book.lines()[1]));

  QTest::mouseClick(window.copyAllButton(), Qt::LeftButton);
  EXPECT_EQ(QApplication::clipboard()->text(), window.view()->toPlainText() + "\n");

  QTest::mouseClick(window.closeButton(), Qt::LeftButton);
  EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace ternis
