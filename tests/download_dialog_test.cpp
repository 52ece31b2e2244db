// The window end to end: the real dialog on the offscreen platform, a real
// settings file, and stb-sim as the box on a pseudo-terminal behind COM1.

#include "app/download_dialog.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QTest>
#include <QThread>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/port_settings_dialog.h"
#include "app/settings_store.h"
#include "station/box_session.h"
#include "protocol/constants.h"
#include "tests/support/process.h"
#include "tests/support/pty_box.h"
#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Process;
using test::ReadText;

fs::path SettingsFile() {
  return fs::path(qgetenv("XDG_CONFIG_HOME").toStdString()) / "Halvek" / "Velko.conf";
}

// Keeps the window's event loop turning until `done` or `limit`.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

struct Moment {  // what the window showed after one progress message
  int percent;
  bool busy, popup, firmware, close, configuration, path_box;
};

class WindowTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(SettingsFile().parent_path());
    fs::create_directories(SettingsFile().parent_path());
    std::vector<std::uint8_t> bytes(409'600);  // 100 chunks of 4 KiB: one ends at exactly 99 %
    for (std::size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<std::uint8_t>(i * 13 + (i >> 9));
    firmware = dir.Write("firmware.hex", bytes);
  }
  void TearDown() override {
    dialog.reset();
    if (box) box->Signal(SIGTERM);
  }

  std::string Path(const std::string& name) const { return (dir.path() / name).string(); }

  void WriteSettings(const std::string& extra) {
    std::ofstream(SettingsFile()) << "[General]\nFILE_MASK=4096\nFirmware=" << firmware
                                  << "\nCOM1=" << Path("box") << "\n"
                                  << extra;
  }

  void StartBox(std::vector<std::string> args) {
    args.insert(args.begin(), {STB_SIM_PATH, "--pty", Path("box"), "--boot-delay", "0.3"});
    box = std::make_unique<Process>(args, Path("box.out"), Path("box.err"));
    ASSERT_TRUE(test::WaitForText(Path("box.err"), "box on"));
  }

  void OpenWindow() {
    settings.Load();
    dialog = std::make_unique<DownloadDialog>(
        settings, session, [this](const QString& text) { messages.push_back(text); });
    dialog->link().set_wait(0ms);
    QObject::connect(dialog.get(), &DownloadDialog::statusReported,
                     [this](const QString& line) { statuses.push_back(line); });
    QObject::connect(dialog.get(), &DownloadDialog::unitEnded,
                     [this](const QString& line) { units.push_back(line); });
    QObject::connect(
        dialog.get(), &DownloadDialog::progressHandled, [this](int percent, bool busy) {
          moments.push_back({percent, busy, dialog->busy().visible(),
                             dialog->kindButton(3)->isEnabled(), dialog->closeButton()->isEnabled(),
                             dialog->configurationButton()->isEnabled(),
                             dialog->pathBox()->isEnabled()});
        });
    dialog->Initialise();
    dialog->show();
  }

  int WaitForBox() {
    std::optional<int> status;
    PumpUntil([&] { return (status = box->Poll()).has_value(); });
    return status.value_or(-1);
  }

  bool Reported(const QString& line) const {
    return std::find(statuses.begin(), statuses.end(), line) != statuses.end();
  }

  test::TempDir dir;
  std::string firmware;
  SettingsStore settings;
  BoxSession session{nullptr, {}, kPlatformAsync};
  std::unique_ptr<DownloadDialog> dialog;
  std::unique_ptr<Process> box;
  std::vector<QString> messages, statuses, units;
  std::vector<Moment> moments;
};

TEST_F(WindowTest, DownloadsTheFirmwareWithTheBusyNoticeWhileTheBoxWrites) {
  WriteSettings("");
  StartBox({"--reference", firmware, "--chunk", "4096", "--write-time", "0.4"});
  OpenWindow();
  EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
  EXPECT_EQ(dialog->pathBox()->text().toStdString(), firmware);
  EXPECT_EQ(dialog->kindButton(3)->GetCheck(), 1);
  EXPECT_TRUE(Reported(QString::fromStdString("FIRMWARE file selected : ; " + firmware + " sized 409600")));

  ASSERT_EQ(WaitForBox(), 0) << ReadText(Path("box.err"));
  PumpUntil([&] { return !moments.empty() && !moments.back().busy; }, 5s);
  EXPECT_NE(ReadText(Path("box.out")).find("every byte checked"), std::string::npos);
  EXPECT_EQ(dialog->progress()->GetPos(), 100);
  EXPECT_TRUE(Reported("Complete KEY file."));
  PumpUntil([&] { return !units.empty(); }, 5s);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_TRUE(units[0].startsWith("unit 1 PASS in ")) << units[0].toStdString();
  EXPECT_TRUE(units[0].endsWith(" s, 409600 bytes, 100 requests")) << units[0].toStdString();
  EXPECT_TRUE(Reported(units[0])) << "in the status log too";

  // From 99 % until the time request: busy, popup shown, the four disabled.
  const auto first_busy =
      std::find_if(moments.begin(), moments.end(), [](const Moment& m) { return m.busy; });
  ASSERT_NE(first_busy, moments.end());
  EXPECT_GE(first_busy->percent, 99);
  for (auto m = first_busy; m != moments.end() && m->busy; ++m) {
    EXPECT_TRUE(m->popup);
    EXPECT_FALSE(m->firmware || m->close || m->configuration || m->path_box);
  }
  const Moment& last = moments.back();
  EXPECT_FALSE(last.busy);
  EXPECT_FALSE(last.popup);
  EXPECT_TRUE(last.firmware && last.close && last.configuration && last.path_box);
  EXPECT_EQ(last.percent, 100);

  dialog->EndProgram();  // the close button's way: port closed, settings saved
  const std::string saved = ReadText(SettingsFile().string());
  for (const std::string& line :
       {std::string("FILE_MASK=4096"), "Firmware=" + firmware, "COM1=" + Path("box"),
        std::string("Port=0"), std::string("Baudrate=115200"), std::string("Data=8"),
        std::string("Stop=0")})
    EXPECT_NE(saved.find(line), std::string::npos) << line << " in\n" << saved;
  EXPECT_EQ(session.port().GetLastStatus(), "Disconnected");
}

// Unplugged mid-transfer: the window logs the loss and the failed unit,
// lets the device go at once, and serves the box when it is back.
TEST_F(WindowTest, AnUnpluggedBoxFailsItsUnitAndIsServedWhenItReturns) {
  WriteSettings("");
  StartBox({"--reference", firmware, "--chunk", "4096", "--close-after", "30", "--reopen-after",
            "0.5", "--units", "2"});
  OpenWindow();
  PumpUntil([&] { return units.size() == 2; }, 30s);
  ASSERT_EQ(units.size(), 2u) << ReadText(Path("box.err"));
  EXPECT_EQ(units[0].left(units[0].indexOf(" after ")), "unit 1 FAIL");
  EXPECT_TRUE(units[0].endsWith(": device lost at 30 % (286720 bytes missing)"))
      << units[0].toStdString();
  EXPECT_TRUE(units[1].startsWith("unit 2 PASS")) << units[1].toStdString();
  EXPECT_TRUE(Reported("SM_NOTIFY_ERROR_CODE : ReadFile::5"));
  EXPECT_EQ(WaitForBox(), 0) << ReadText(Path("box.err"));
}

TEST_F(WindowTest, AKindWithoutAStoredFileLeavesNoImage) {
  WriteSettings("");
  StartBox({"--size", "1000", "--reply-timeout", "1"});
  OpenWindow();
  QTest::mouseClick(dialog->kindButton(1), Qt::LeftButton);  // D.key: nothing stored
  EXPECT_EQ(settings.FILE_MASK, D_KEY_FILE);
  EXPECT_TRUE(dialog->pathBox()->text().isEmpty());
  QApplication::sendPostedEvents();
  EXPECT_EQ(dialog->kindButton(3)->GetCheck(), 0) << "the group unchecks the firmware button";
  dialog->SelectFile(D_KEY_FILE, QString::fromStdString(Path("missing.bin")));
  EXPECT_TRUE(Reported(QString::fromStdString("D KEY file selected ; " + Path("missing.bin") + " sized 0")));
  EXPECT_TRUE(settings.D_KEY.isEmpty()) << "a file that does not load is not stored";
  EXPECT_EQ(WaitForBox(), 1) << "the box gets no bytes";
  PumpUntil([&] { return Reported("No file has been specified."); }, 5s);
  EXPECT_TRUE(Reported("No file has been specified."));
}

TEST_F(WindowTest, AMissingDeviceShowsBothMessagesInOrder) {
  std::ofstream(SettingsFile()) << "[General]\nCOM1=" << Path("no-such-device") << "\n";
  OpenWindow();
  EXPECT_EQ(messages, (std::vector<QString>{"Cannot open COM port", "Cannot initailize COM PORT"}));
  EXPECT_EQ(dialog->link().last_port(), LinkControl::kNoPort);
}

TEST_F(WindowTest, EscapeDoesNothingAndEnterEndsTheProgram) {
  std::ofstream(SettingsFile()) << "[General]\nCOM1=" << Path("no-such-device")
                                << "\nBaudrate=57600\n";
  OpenWindow();
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  EXPECT_TRUE(dialog->isVisible());
  QTest::keyClick(dialog.get(), Qt::Key_Enter);
  EXPECT_FALSE(dialog->isVisible());
  dialog.reset();  // the window goes: settings saved
  EXPECT_NE(ReadText(SettingsFile().string()).find("Baudrate=57600"), std::string::npos);
  EXPECT_NE(ReadText(SettingsFile().string()).find("M_KEY="), std::string::npos);
}

class PanelTest : public WindowTest {
 protected:
  void OpenPanel() { panel = std::make_unique<PortSettingsDialog>(settings, dialog->link()); }
  std::unique_ptr<PortSettingsDialog> panel;
  test::PtyBox line;  // a device that opens
};

TEST_F(PanelTest, OpensWithTheStoredValues) {
  std::ofstream(SettingsFile()) << "[General]\nCOM1=" << line.port_path()
                                << "\nBaudrate=9600\nParity=1\nStop=0\nPort=0\nData=8\n";
  OpenWindow();
  OpenPanel();
  EXPECT_EQ(panel->baudList()->currentText(), "9600");
  EXPECT_EQ(panel->parityList()->currentText(), "ODD");
  EXPECT_EQ(panel->stopList()->currentText(), "1");
  EXPECT_TRUE(panel->com1()->isChecked());
  EXPECT_FALSE(panel->com2()->isChecked());
  EXPECT_EQ(panel->dataBox()->text(), "8");
  EXPECT_EQ(panel->deviceChooser()->currentText().toStdString(), line.port_path());
  EXPECT_TRUE(panel->applyButton()->isEnabled());

  settings.Baudrate = 57;
  settings.Port = 2;
  settings.Stop = 5;
  settings.Parity = 9;
  OpenPanel();
  EXPECT_EQ(panel->baudList()->currentText(), "57600") << "the first entry that begins with 57";
  EXPECT_FALSE(panel->com1()->isChecked() || panel->com2()->isChecked());
  EXPECT_EQ(panel->stopList()->currentIndex(), -1);
  EXPECT_EQ(panel->parityList()->currentIndex(), -1);
}

TEST_F(PanelTest, ApplyStoresOnlyWhatConnected) {
  std::ofstream(SettingsFile()) << "[General]\nCOM1=" << line.port_path() << "\n";
  OpenWindow();
  ASSERT_TRUE(messages.empty());
  OpenPanel();

  panel->stopList()->setCurrentIndex(1);  // 1.5 stop bits: the line refuses
  EXPECT_FALSE(panel->Apply());
  EXPECT_EQ(messages, (std::vector<QString>{"Cannot setup opened COM port"}));
  EXPECT_EQ(settings.Stop, 0u);
  EXPECT_TRUE(panel->applyButton()->isEnabled());

  panel->stopList()->setCurrentIndex(2);
  panel->baudList()->setCurrentIndex(11);   // 57600
  panel->parityList()->setCurrentIndex(3);  // ODD
  panel->dataBox()->setText("264");         // the line gets 264 & 0xFF = 8
  EXPECT_TRUE(panel->Apply()) << messages.back().toStdString();
  EXPECT_FALSE(panel->applyButton()->isEnabled());
  EXPECT_EQ(settings.Stop, 2u);
  EXPECT_EQ(settings.Baudrate, 57600u);
  EXPECT_EQ(settings.Parity, 1u);
  EXPECT_EQ(settings.Data, 264u);
  EXPECT_EQ(ReadLineSettings(line.port())->baud, 57600u);
  OpenPanel();
  EXPECT_EQ(panel->dataBox()->text(), "264");

  test::PtyBox other;  // a new device behind COM1 is reopened, and stored
  panel->deviceChooser()->setEditText(QString::fromStdString(other.port_path()));
  EXPECT_TRUE(panel->Apply());
  EXPECT_EQ(settings.COM1.toStdString(), other.port_path());
  EXPECT_EQ(session.port().device_path(), other.port_path());

  panel->deviceChooser()->setEditText(
      QString::fromStdString(Path("gone")));  // fails: the old device stays stored
  EXPECT_FALSE(panel->Apply());
  EXPECT_EQ(messages.back(), "Cannot open COM port");
  EXPECT_EQ(settings.COM1.toStdString(), other.port_path());
}

TEST(PanelParsing, DataBitsAreTheLeadingDigitsOfTheFirstNineCharacters) {
  EXPECT_EQ(LeadingNumber("8"), 8u);
  EXPECT_EQ(LeadingNumber("264"), 264u);
  EXPECT_EQ(LeadingNumber(""), 0u);
  EXPECT_EQ(LeadingNumber("12345678901"), 123456789u);
}

TEST(ProgramProcess, SigtermSavesTheSettings) {
  test::TempDir dir;
  test::PtyBox line;
  fs::create_directories(SettingsFile().parent_path());
  std::ofstream(SettingsFile()) << "[General]\nCOM1=" << line.port_path() << "\nBaudrate=38400\n";
  Process program({TERNIS_DOWNLOAD_PATH}, (dir.path() / "out").string(),
                  (dir.path() / "err").string());
  // The start-up connect waits a second twice, then configures the line.
  const auto give_up = std::chrono::steady_clock::now() + 15s;
  while (ReadLineSettings(line.port())->baud != 38400 && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(20ms);
  ASSERT_EQ(ReadLineSettings(line.port())->baud, 38400u) << ReadText((dir.path() / "err").string());
  std::this_thread::sleep_for(300ms);
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(10s), 0);
  const std::string saved = ReadText(SettingsFile().string());
  EXPECT_NE(saved.find("Baudrate=38400"), std::string::npos) << saved;
  EXPECT_NE(saved.find("FILE_MASK=1"), std::string::npos) << "every value written on the way out";
}

}  // namespace
}  // namespace ternis

namespace ternis {
namespace {

// A window that hands the link's events to it, as DownloadDialog does.
class LinkTarget : public QObject {
 public:
  bool event(QEvent* event) override {
    return (link && link->Deliver(event)) || QObject::event(event);
  }
  WindowLink* link = nullptr;
};

TEST(WindowLinkContract, SendsAreAnsweredOnTheWindowsThreadAndGiveUpWhileClosing) {
  LinkTarget target;
  std::atomic<int> handled_on_window_thread{0};
  WindowLink link(&target, [&](std::uint32_t message, std::uintptr_t, std::intptr_t lparam) {
    if (QThread::currentThread() == target.thread()) ++handled_on_window_thread;
    return message == SM_GET_TIME ? static_cast<std::intptr_t>(0x130509) + lparam : 0;
  });
  target.link = &link;

  std::intptr_t answer = -1;
  std::thread sender([&] { answer = link.send(SM_GET_TIME, 0, 1); });
  PumpUntil([&] { return handled_on_window_thread > 0; }, 5s);
  sender.join();
  EXPECT_EQ(answer, 0x13050A);

  // The window does not turn its event loop (it is closing the port).
  std::thread stuck([&] { answer = link.send(SM_STATUS_TEXT, 0, 0); });
  std::this_thread::sleep_for(50ms);
  link.SetClosing(true);
  stuck.join();  // would hang forever without the give-up
  EXPECT_EQ(answer, 0);
  const int before = handled_on_window_thread;
  QApplication::processEvents();
  EXPECT_EQ(handled_on_window_thread, before) << "an abandoned send is never handled";
  link.SetClosing(false);
}

}  // namespace
}  // namespace ternis
