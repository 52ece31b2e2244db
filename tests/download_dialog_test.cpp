// The window end to end: the real dialog on the offscreen platform, a real
// settings file, and stb-sim as the box on a pseudo-terminal behind COM1.

#include "app/download_dialog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QCryptographicHash>
#include <QLockFile>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <thread>

#include "app/file_kind.h"
#include "app/port_settings_dialog.h"
#include "app/settings_store.h"
#include "app/sm_message.h"
#include "app/termination_watch.h"
#include "station/box_session.h"
#include "tests/support/holds.h"
#include "tests/support/process.h"
#include "tests/support/pty_box.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"
#include "tests/support/window_env.h"

namespace ternis {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Drop;
using test::Holds;
using test::Process;
using test::PumpUntil;
using test::ReadText;
using test::SettingsFile;

// The settings file holds each of `lines`.
void ExpectSaved(const std::vector<std::string>& lines) {
  const std::string saved = ReadText(SettingsFile().string());
  for (const std::string& line : lines) EXPECT_TRUE(Holds(saved, line));
}

struct Moment {  // what the window showed after one progress message
  int percent;
  bool busy, popup;
  int enabled;  // of the four controls the notice locks
};

class WindowTest : public testing::Test {
 protected:
  // 100 chunks of 4 KiB: one ends at exactly 99 %.
  void SetUp() override { firmware = WriteImage("firmware.hex", 409'600); }
  // An image that reads like a secret, so that a leak would show in the log.
  std::string WriteImage(const std::string& name, std::size_t size) {
    const std::string secret = "K3Y-S3CR3T-0123456789abcdef";
    QByteArray bytes(static_cast<qsizetype>(size), '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = secret[i % secret.size()];
    sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
    return dir.Write(name, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  }
  void TearDown() override {
    dialog.reset();
    if (box) box->Signal(SIGTERM);
  }

  std::string Path(const std::string& name) const { return (dir.path() / name).string(); }

  void OpenWithBox(const std::vector<std::string>& args, const std::string& extra = "") {
    test::WriteSettings("FILE_MASK=4096\nFirmware=" + firmware + "\nCOM1=" + Path("box") + "\n" +
                        extra);
    StartBox(args);
    OpenWindow();
  }
  void OpenWithoutBox(const std::string& extra = "") {
    test::WriteSettings("COM1=" + Path("no-such-device") + "\n" + extra);
    OpenWindow();
  }

  void StartBox(std::vector<std::string> args) {
    args.insert(args.begin(), {"--boot-delay", "0.3"});
    box = test::StartSimBox(STB_SIM_PATH, Path("box"), std::move(args));
  }

  void OpenWindow() {
    settings.Load();
    dialog = std::make_unique<DownloadDialog>(settings, session,
                                              [this](const QString& text, const QString& detail) {
                                                messages.push_back(text);
                                                details.push_back(detail);
                                              });
    dialog->link().set_wait(0ms);
    QObject::connect(dialog.get(), &DownloadDialog::statusReported,
                     [this](const QString& line) { statuses.push_back(line); });
    QObject::connect(dialog.get(), &DownloadDialog::unitEnded,
                     [this](const QString& line) { units.push_back(line); });
    QObject::connect(dialog.get(), &DownloadDialog::statusShown,
                     [this](const QString& line) { shown.push_back(line); });
    QObject::connect(dialog.get(), &DownloadDialog::progressHandled,
                     [this](int percent, bool busy) {
                       moments.push_back({percent, busy, dialog->busy().visible(), Enabled()});
                     });
    dialog->Initialise();
    dialog->show();
  }

  int WaitForBox() {
    std::optional<int> status;
    PumpUntil([&] { return (status = box->Poll()).has_value(); });
    return status.value_or(-1);
  }

  bool Reported(const std::string& line) const {
    return std::ranges::find(statuses, QString::fromStdString(line)) != statuses.end();
  }
  std::vector<QString> TxKeys() const {
    std::vector<QString> lines;
    std::copy_if(statuses.begin(), statuses.end(), std::back_inserter(lines),
                 [](const QString& line) { return line.startsWith("TX_KEY"); });
    return lines;
  }
  bool Shown(const QString& line) const { return std::ranges::find(shown, line) != shown.end(); }
  // Every moment from the first busy one on is busy until the notice lifts,
  // with the popup up and the four controls locked; the last one is not busy.
  void ExpectOneBusySpell() const {
    const auto first_busy =
        std::find_if(moments.begin(), moments.end(), [](const Moment& m) { return m.busy; });
    ASSERT_NE(first_busy, moments.end());
    EXPECT_GE(first_busy->percent, 99);
    auto m = first_busy;
    for (; m != moments.end() && m->busy; ++m) {
      EXPECT_TRUE(m->popup);
      EXPECT_EQ(m->enabled, 0);
    }
    EXPECT_TRUE(std::none_of(m, moments.end(), [](const Moment& m) { return m.busy; }));
  }
  int Enabled() const {
    return dialog->kindButton(3)->isEnabled() + dialog->closeButton()->isEnabled() +
           dialog->configurationButton()->isEnabled() + dialog->pathBox()->isEnabled();
  }
  void ExpectNotBusy() const {
    EXPECT_FALSE(dialog->busy().visible());
    EXPECT_EQ(Enabled(), 4);
  }
  // The box's one unit passed, `served` bytes in `requests`, and the window
  // shows it everywhere: bar, log, status line, tally, the busy spell over.
  void ExpectOnePassedUnit(const std::string& file, std::size_t served, std::size_t requests) {
    EXPECT_EQ(dialog->progress()->GetPos(), 100);
    EXPECT_TRUE(Reported("Complete KEY file."));
    ASSERT_EQ(units.size(), 1u);
    EXPECT_TRUE(units[0].startsWith("unit 1 PASS in ")) << units[0].toStdString();
    EXPECT_TRUE(units[0].endsWith(QString::fromStdString(
        " s, " + std::to_string(served) + " bytes, " + std::to_string(requests) + " requests; " +
        file + " sha256 " + sha256)))
        << units[0].toStdString();
    EXPECT_TRUE(Reported(units[0].toStdString())) << "in the status log too";
    EXPECT_TRUE(dialog->statusLine()->text().startsWith("Unit 1 passed in "))
        << dialog->statusLine()->text().toStdString();
    EXPECT_EQ(dialog->tallyLabel()->text(), "1 passed \u00b7 0 failed");
    ExpectOneBusySpell();
    ExpectNotBusy();
    EXPECT_EQ(moments.back().percent, 100);
  }

  test::TempDir dir;
  std::string sha256;  // of the image written last
  std::string firmware;
  SettingsStore settings;
  BoxSession session{nullptr, {.unit_timeout = 2s}};
  std::unique_ptr<DownloadDialog> dialog;
  std::unique_ptr<Process> box;
  std::vector<QString> messages, details, statuses, units, shown;
  std::vector<Moment> moments;
};

// 100 requests, one of which ends at exactly 99 %: the busy notice shows
// while the box writes, and one log line per tenth of the unit stands for
// the requests.
TEST_F(WindowTest, DownloadsTheFirmwareWithTheBusyNoticeWhileTheBoxWrites) {
  OpenWithBox({"--reference", firmware, "--chunk", "4096", "--write-time", "0.4"});
  int sounded = 0;
  dialog->setSounder([&](bool) { ++sounded; });
  EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
  EXPECT_EQ(dialog->pathBox()->text().toStdString(), firmware);
  EXPECT_EQ(dialog->kindButton(3)->GetCheck(), 1);
  EXPECT_TRUE(Reported("FIRMWARE file selected : ; " + firmware + " sized 409600"));
  EXPECT_TRUE(Reported(firmware + ": sha256 " + sha256));
  EXPECT_EQ(dialog->identityLabel()->text().toStdString(),
            "409600 bytes \u00b7 SHA-256 " + sha256.substr(0, 8));

  ASSERT_EQ(WaitForBox(), 0) << ReadText(Path("box.err"));
  PumpUntil([&] { return !units.empty(); }, 5s);
  EXPECT_TRUE(Holds(ReadText(Path("box.out")), "every byte checked"));
  ExpectOnePassedUnit("firmware.hex", 409'600, 100);
  EXPECT_FALSE(Reported("Data request has been arrived from STB(STB_DATA_REQ)."));
  const auto tx_keys = TxKeys();
  ASSERT_EQ(tx_keys.size(), 11u);
  EXPECT_EQ(tx_keys[0], "TX_KEY : 4096 bytes started at 0 (1 %, 1 request since the last line)");
  EXPECT_EQ(sounded, 0) << "silent unless asked";

  dialog->EndProgram();  // the close button's way: port closed, settings saved
  ExpectSaved({"FILE_MASK=4096", "Firmware=" + firmware, "COM1=" + Path("box"), "Port=0",
               "Baudrate=115200", "Data=8", "Stop=0"});
  EXPECT_EQ(session.port().GetLastStatus(), "Disconnected");
}

// A key file others can read, in three requests that jump from 81 % to
// 100 % and one past its end, every request logged, while the window turns
// no events until the box is done (as when it is stuck drawing): the box
// is served at its own pace, the window catches up in order with the busy
// notice while the box wrote, warns in the log and the path box's tooltip,
// and never logs the key's bytes.
TEST_F(WindowTest, AKeyFileIsServedWhileTheWindowTurnsNoEventsAndNeverLogged) {
  const std::string key = WriteImage("m.key", 10'000);
  ASSERT_EQ(::chmod(key.c_str(), 0644), 0);
  test::WriteSettings("FILE_MASK=1\nM_KEY=" + key + "\nCOM1=" + Path("box") +
                      "\nLogEveryRequest=1\n");
  StartBox({"--reference", key, "--chunk", "4096", "--past-end", "16", "--write-time", "0.4"});
  OpenWindow();
  ASSERT_EQ(box->Wait(30s), 0) << ReadText(Path("box.err"));
  PumpUntil([&] { return !units.empty(); }, 10s);
  ExpectOnePassedUnit("m.key", 10'016, 4);
  EXPECT_EQ(TxKeys(),
            (std::vector<QString>{
                "TX_KEY : 4096 bytes started at 0", "TX_KEY : 4096 bytes started at 4096",
                "TX_KEY : 1808 bytes started at 8192", "TX_KEY : 16 bytes started at 10000"}));
  const std::string warning =
      "key file " + key + " can be read by anyone on this machine (mode 0644): chmod 600 " + key;
  EXPECT_TRUE(Reported("warning: " + warning));
  EXPECT_TRUE(dialog->pathBox()->toolTip().endsWith(QString::fromStdString("\n" + warning)))
      << dialog->pathBox()->toolTip().toStdString();
  for (const QString& line : statuses) {
    EXPECT_FALSE(line.contains("K3Y-S3CR3T")) << line.toStdString();
    EXPECT_FALSE(line.contains("4b33592d", Qt::CaseInsensitive)) << line.toStdString();
  }
  dialog->logBook().Flush();
  const std::string log = ReadText(LogFile::DefaultPath().string());
  EXPECT_TRUE(Holds(log, warning)) << "the log file has the lines";
  EXPECT_EQ(log.find("K3Y-S3CR3T"), std::string::npos);
}

// Unplugged mid-transfer or while it writes (after its last request), with
// the window behind the box: the window logs the loss and the failed unit,
// drops the busy notice, lets the device go at once, and serves the box
// when it is back, also after Apply in the COM port panel while it waited
// (with the new baud).
class UnplugTest : public WindowTest, public testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(ServingOrWriting, UnplugTest, testing::Values(30, 100));

TEST_P(UnplugTest, AnUnpluggedBoxFailsItsUnitAndIsServedWhenItReturns) {
  const std::string at = std::to_string(GetParam()) + " %";
  OpenWithBox({"--reference", firmware, "--chunk", "4096", "--close-after",
               std::to_string(GetParam()), "--reopen-after", "2", "--units", "2"},
              "Sound=1\n");
  std::vector<bool> sounded;
  dialog->setSounder([&](bool passed) { sounded.push_back(passed); });
  ASSERT_TRUE(test::WaitUntil([&] { return session.Snapshot().failed == 1; }, 30s));
  ASSERT_TRUE(PumpUntil([&] {
    return Shown(QString::fromStdString("Unit 1 failed: device lost at " + at +
                                        "; waiting for the device")) &&
           Reported("SM_NOTIFY_ERROR_CODE : ReadFile::5");
  }));
  ExpectNotBusy();
  {
    PortSettingsDialog panel(settings, dialog->link(), dialog.get());
    panel.baudList()->setCurrentText("57600");
    EXPECT_TRUE(panel.Apply());
  }
  EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
  PumpUntil([&] { return units.size() == 2; }, 30s);
  ASSERT_EQ(units.size(), 2u) << ReadText(Path("box.err"));
  EXPECT_EQ(units[0].left(units[0].indexOf(" after ")), "unit 1 FAIL");
  const std::string missing = std::to_string((100 - GetParam()) * 4096);
  EXPECT_TRUE(units[0].contains(QString::fromStdString(": device lost at " + at + " (" + missing +
                                                       " bytes missing); firmware.hex")))
      << units[0].toStdString();
  EXPECT_TRUE(units[1].startsWith("unit 2 PASS")) << units[1].toStdString();
  EXPECT_TRUE(dialog->statusLine()->text().contains("Unit 2 passed in ")) << "the last unit";
  EXPECT_EQ(dialog->tallyLabel()->text(), "1 passed \u00b7 1 failed");
  EXPECT_EQ(sounded, (std::vector<bool>{false, true})) << "asked for in the settings";
  EXPECT_EQ(WaitForBox(), 0) << ReadText(Path("box.err"));
  EXPECT_EQ(settings.Baudrate, 57600u);
}

// A box that stops asking while it writes (it died, or hangs): its unit
// fails after the unit timeout, and the notice and the lock go with it.
TEST_F(WindowTest, ABoxThatFallsSilentWhileWritingFailsItsUnitAndFreesTheWindow) {
  OpenWithBox({"--reference", firmware, "--chunk", "4096", "--stop-after", "100", "--hold", "8"});
  PumpUntil([&] { return !units.empty(); }, 15s);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_TRUE(units[0].contains(": box stopped asking (2 s) (0 bytes missing); firmware.hex"))
      << units[0].toStdString();
  EXPECT_TRUE(std::ranges::any_of(moments, [](const Moment& m) { return m.busy; }));
  ExpectNotBusy();
  EXPECT_EQ(dialog->statusLine()->text(), "Unit 1 failed: box stopped asking (2 s)");
}

// What the window makes of the progress messages, in the order they come;
// while the box writes, it takes no file.
TEST_F(WindowTest, ProgressMessagesMoveTheBarAndTheBusyNotice) {
  OpenWithoutBox();
  struct Step {
    SmMessage message;
    std::intptr_t percent;
    int position;
    bool busy;
  };
  const Step steps[] = {
      {SM_STB_DATA_REQ, 0, 0, false},
      {SM_PROGRESS, 81, 81, false},
      {SM_STB_DATA_REQ, 0, 81, false},
      {SM_PROGRESS, 100, 100, true},  // 99 % never came: busy all the same
      {SM_STB_START, 0, 100, false},  // booted again: not writing
      {SM_STB_DATA_REQ, 0, 100, false},
      {SM_PROGRESS, 100, 100, true},
      {SM_STB_TIME_REQ, 0, 100, false},
      {SM_PROGRESS, 100, 100, false},  // the time request's own 100 %
      {SM_STB_DATA_REQ, 0, 100, false},
      {SM_PROGRESS, 3'000'000'000, INT_MAX, true},  // a file that shrank: far past, not negative
  };
  for (const Step& step : steps) {
    dialog->window_link().Post(SmEvent(step.message, 100, step.percent));
    dialog->window_link().Flush();
    SCOPED_TRACE(::testing::Message() << step.message << " " << step.percent);
    EXPECT_EQ(dialog->progress()->GetPos(), step.position);
    EXPECT_EQ(dialog->busy().visible(), step.busy);
    EXPECT_EQ(dialog->closeButton()->isEnabled(), !step.busy);
  }
  EXPECT_FALSE(Drop(dialog.get(), {firmware})) << "nothing while it writes";
}

// No device: both classic messages in order, the cause under the first and
// in the log; Ctrl+L opens the log with every line so far, and it follows;
// the log file under XDG_STATE_HOME has the same lines. Escape does
// nothing; Enter ends the program, and the menu's choice is saved.
TEST_F(WindowTest, AMissingDeviceIsToldInBothMessagesAndTheLogAndEnterEndsTheProgram) {
  OpenWithoutBox("Baudrate=57600\n");
  EXPECT_EQ(messages, (std::vector<QString>{"Cannot open COM port", "Cannot initailize COM PORT"}));
  EXPECT_TRUE(
      details[0].startsWith(QString::fromStdString(Path("no-such-device") + " does not exist")))
      << details[0].toStdString();
  EXPECT_TRUE(details[0].contains("ternis-serve --list shows every serial device"))
      << details[0].toStdString();
  EXPECT_EQ(dialog->statusLine()->text(), "No port open");
  EXPECT_TRUE(dialog->tallyLabel()->isHidden()) << "no unit yet";
  EXPECT_EQ(dialog->link().last_port(), LinkControl::kNoPort);
  const std::string cause = "Cannot open COM port: " + details[0].toStdString();
  EXPECT_TRUE(Reported(cause));

  dialog->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
  QTest::keyClick(dialog.get(), Qt::Key_L, Qt::ControlModifier);
  ASSERT_NE(dialog->logWindow(), nullptr);
  EXPECT_TRUE(dialog->logWindow()->isVisible());
  const auto logged = [&] { return dialog->logWindow()->view()->toPlainText().toStdString(); };
  EXPECT_TRUE(Holds(logged(), cause));
  dialog->ReportStatus("a line after the log opened");
  EXPECT_TRUE(Holds(logged(), "a line after the log opened"));
  dialog->logBook().Flush();  // as the event loop would
  EXPECT_TRUE(Holds(ReadText(LogFile::DefaultPath().string()), cause));

  QTimer::singleShot(0, [] {  // inside the menu's own loop
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    for (QAction* action : menu->actions())
      if (action->text() == "Log every request") action->trigger();
    menu->close();
  });
  QContextMenuEvent menu_event(QContextMenuEvent::Mouse, {5, 5}, dialog->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(dialog.get(), &menu_event);
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  EXPECT_TRUE(dialog->isVisible());
  dialog->minimiseButton()->setFocus();  // a focused push button takes Enter
  QTest::keyClick(dialog->minimiseButton(), Qt::Key_Return);
  EXPECT_TRUE(dialog->isMinimized());
  EXPECT_TRUE(dialog->isVisible());
  dialog->showNormal();
  dialog->configurationButton()->setFocus();  // a check box with a push-button look does not
  QTest::keyClick(dialog->configurationButton(), Qt::Key_Enter);
  EXPECT_FALSE(dialog->isVisible());
  dialog.reset();  // the window goes: settings saved
  ExpectSaved({"Baudrate=57600", "M_KEY=", "LogEveryRequest=1"});
}

// The file is the stored one of the kind clicked, the one chosen in the
// file dialog (a click on the path box) or one dropped file; one that does
// not load is neither served nor stored. A long path shows shortened in the
// middle, whole in the tooltip with size and SHA-256. A named pipe has no
// size and no writer: taking it must not wait (should the window wait, a
// writer comes after 10 s so that the test ends and says so).
TEST_F(WindowTest, TheFileComesFromItsKindTheFileDialogOrOneDroppedFile) {
  OpenWithoutBox("FILE_MASK=4096\nFirmware=" + firmware + "\n");
  QTest::mouseClick(dialog->kindButton(1), Qt::LeftButton);  // D.key: nothing stored
  EXPECT_EQ(settings.FILE_MASK, D_KEY_FILE);
  EXPECT_TRUE(dialog->pathBox()->text().isEmpty());
  EXPECT_TRUE(dialog->identityLabel()->isHidden()) << "the firmware is no longer served";
  QApplication::sendPostedEvents();
  EXPECT_EQ(dialog->kindButton(3)->GetCheck(), 0) << "the group unchecks the firmware button";
  dialog->SelectFile(D_KEY_FILE, QString::fromStdString(Path("missing.bin")));
  EXPECT_TRUE(Reported("D KEY file selected ; " + Path("missing.bin") + " sized 0"));
  EXPECT_TRUE(settings.D_KEY.isEmpty()) << "a file that does not load is not stored";
  EXPECT_TRUE(dialog->identityLabel()->isHidden()) << "nothing served, nothing identified";

  QTest::mouseClick(dialog->kindButton(3), Qt::LeftButton);
  fs::path deep = dir.path();
  for (int i = 0; i < 6; ++i) deep /= "production-batch-2026-12-07-line-" + std::to_string(i);
  fs::create_directories(deep);
  const std::string path = (deep / "firmware-7.4.hex").string();
  fs::copy_file(firmware, path);
  dialog->setFileChooser([&](QWidget*) { return QString::fromStdString(path); });
  QTest::mouseClick(dialog->pathBox(), Qt::LeftButton);
  PumpUntil([&] { return settings.Firmware.toStdString() == path; }, 10s);
  EXPECT_EQ(dialog->shownPath().toStdString(), path);
  const QString shown = dialog->pathBox()->text();
  EXPECT_TRUE(shown.startsWith("/") && shown.contains(QChar(0x2026)) &&
              shown.endsWith("firmware-7.4.hex"))
      << shown.toStdString();
  EXPECT_LE(dialog->pathBox()->fontMetrics().horizontalAdvance(shown), dialog->pathBox()->width());
  EXPECT_EQ(dialog->pathBox()->toolTip().toStdString(), path + "\n409600 bytes, SHA-256 " + sha256);

  ASSERT_TRUE(Drop(dialog.get(), {firmware}));
  EXPECT_EQ(settings.Firmware.toStdString(), firmware);
  const std::string folder = dir.path().string();
  ASSERT_TRUE(Drop(dialog.get(), {path, folder}));
  EXPECT_TRUE(Reported("Drop refused: 2 files dropped; drop one file"));
  ASSERT_TRUE(Drop(dialog.get(), {folder}));
  EXPECT_TRUE(Reported("Drop refused: " + folder + " is a folder; drop one file"));

  const std::string fifo = Path("pipe.hex");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<bool> taken{false}, rescued{false};
  std::thread rescuer([&] {
    if (test::WaitUntil([&] { return taken.load(); })) return;
    rescued = true;
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  });
  Drop(dialog.get(), {fifo});
  taken = true;
  rescuer.join();
  EXPECT_FALSE(rescued) << "the window waited for a writer";
  EXPECT_TRUE(Reported("FIRMWARE file selected : ; " + fifo + " sized 0"));
  EXPECT_EQ(settings.Firmware.toStdString(), firmware) << "neither a pipe nor a refused drop";
}

// The Configuration button and a click on the path box run the panel and
// the file dialog modally, owned by the window, the panel centred. SIGTERM
// while one runs its own loop: the dialog closes, the window ends the
// orderly way, and the settings are saved. Should the signal be ignored,
// everything is closed after 15 s so that the test ends and says so.
TEST_F(WindowTest, ATerminationSignalInANestedDialogEndsTheWindowAndSaves) {
  struct Case {
    const char* dialog_class;
    std::function<void(DownloadDialog&)> open;
    bool centred;
  };
  const Case cases[] = {
      {"ternis::PortSettingsDialog",
       [](DownloadDialog& d) { QTest::mouseClick(d.configurationButton(), Qt::LeftButton); }, true},
      {"QFileDialog", [](DownloadDialog& d) { QTest::mouseClick(d.pathBox(), Qt::LeftButton); },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dialog_class);
    OpenWithoutBox("Baudrate=57600\n");
    TerminationWatch watch;
    watch.SetHandler([this] { dialog->EndProgram(); }, dialog.get());
    bool rescued = false;
    QWidget* owner = nullptr;
    QPoint off_centre;
    test::WhenModal(dialog.get(), c.dialog_class, [&](QWidget* modal) {
      owner = modal->parentWidget();
      off_centre = modal->frameGeometry().center() - dialog->frameGeometry().center();
      ::raise(SIGTERM);
    });
    QTimer::singleShot(0, dialog.get(), [&] { c.open(*dialog); });
    QTimer::singleShot(15s, dialog.get(), [&] {
      rescued = true;
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<QDialog*>(w); d && d != dialog.get() && d->isVisible())
          d->done(QDialog::Rejected);
      dialog->done(99);
    });
    const int result = dialog->exec();
    EXPECT_EQ(owner, dialog.get()) << "never shown, or not owned by the window";
    EXPECT_TRUE(!c.centred || off_centre.manhattanLength() <= 2) << off_centre.manhattanLength();
    EXPECT_FALSE(rescued);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    ExpectSaved({"Baudrate=57600", "FILE_MASK=1"});  // saved on the way out
  }
}

// SIGTERM once the line is configured, and while the start-up message box
// (no device) is up: the program ends and saves every value. A second
// SIGTERM or SIGINT while the ending hangs (here saving the settings, whose
// lock the test holds) ends the program at once and says so.
TEST(ProgramProcess, ASignalEndsTheProgramAndSavesASecondEndsItAtOnce) {
  test::PtyBox line;
  struct Case {
    bool device;
    int signal, status;
    const char* says;  // on a second signal
  };
  for (const Case& c : {Case{true, SIGTERM, 0, nullptr}, Case{false, SIGTERM, 0, nullptr},
                        Case{false, SIGTERM, 143, "second SIGTERM while ending: ending at once"},
                        Case{false, SIGINT, 130, "second SIGINT while ending: ending at once"}}) {
    SCOPED_TRACE(testing::Message() << c.device << " " << c.signal << " " << c.status);
    test::TempDir dir;
    const std::string err = (dir.path() / "err").string();
    test::WriteSettings("COM1=" + (c.device ? line.port_path() : (dir.path() / "gone").string()) +
                        "\nBaudrate=57600\n");
    Process program({TERNIS_DOWNLOAD_PATH}, (dir.path() / "out").string(), err);
    // The start-up connect waits a second twice, then configures the line
    // (a new pseudo-terminal is at 38400 already).
    if (c.device) {
      ASSERT_TRUE(
          test::WaitUntil([&] { return ReadLineSettings(line.port())->baud == 57600; }, 15s))
          << ReadText(err);
    } else {
      ASSERT_TRUE(test::WaitForText(err, "Cannot open COM port")) << ReadText(err);
    }
    QLockFile settings_lock(QString::fromStdString(SettingsFile().string() + ".lock"));
    ASSERT_TRUE(!c.says || settings_lock.lock());
    program.Signal(c.signal);
    if (c.says) {
      std::this_thread::sleep_for(300ms);
      EXPECT_FALSE(program.Poll().has_value()) << "the ending waits for the lock";
      program.Signal(c.signal);
    }
    EXPECT_EQ(program.Wait(10s), c.status) << ReadText(err);
    if (c.says) {
      EXPECT_TRUE(Holds(ReadText(err), c.says));
    } else {
      ExpectSaved({"Baudrate=57600", "FILE_MASK=1"});  // every value, on the way out
    }
  }
}

TEST(ProgramProcess, HelpSaysHowToStartEitherWindow) {
  test::TempDir dir;
  const std::string out = (dir.path() / "out").string();
  EXPECT_EQ(Process({TERNIS_DOWNLOAD_PATH, "--help"}, out, out + ".err").Wait(10s), 0);
  EXPECT_TRUE(Holds(ReadText(out), "Usage: ternis-download [--station [[NAME=]DEVICE...]]"));
}

}  // namespace
}  // namespace ternis
