// The COM port panel on the offscreen platform, with a real settings file
// and a pseudo-terminal behind COM1.

#include "app/port_settings_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QLineEdit>
#include <QTest>

#include "app/link_control.h"
#include "app/settings_store.h"
#include "link/line_settings.h"
#include "station/box_session.h"
#include "tests/support/pty_box.h"
#include "tests/support/temp_dir.h"
#include "tests/support/window_env.h"

namespace ternis {
namespace {

using namespace std::chrono_literals;

class PortPanelTest : public testing::Test {
 protected:
  void SetUp() override {
    test::WriteSettings("COM1=" + line.port_path() +
                        "\nPort=0\nBaudrate=9600\nParity=0\nStop=0\nData=8\n");
    settings.Load();
    // The link as the window has it after start-up, for a panel of our own.
    link.set_wait(0ms);
    link.ApplyDeviceTable();
    ASSERT_TRUE(link.ConnectPort(0, 9600, 8, 0, 0));
  }

  // The stored line: baud, data bits, parity, stop bits.
  std::vector<std::uint32_t> Stored() const {
    return {settings.Baudrate, settings.Data, settings.Parity, settings.Stop};
  }

  test::PtyBox line;
  test::TempDir dir;
  SettingsStore settings;
  BoxSession session{nullptr, {}};
  std::vector<QString> messages, details;
  LinkControl link{session, settings, [this](const QString& text, const QString& detail) {
                     messages.push_back(text);
                     details.push_back(detail);
                   }};
};

TEST_F(PortPanelTest, OpensWithTheStoredValues) {
  settings.Parity = 1;
  PortSettingsDialog panel(settings, link);
  EXPECT_EQ(panel.baudList()->currentText(), "9600");
  EXPECT_EQ(panel.parityList()->currentText(), "ODD");
  EXPECT_EQ(panel.stopList()->currentText(), "1");
  EXPECT_TRUE(panel.com1()->isChecked());
  EXPECT_FALSE(panel.com2()->isChecked());
  EXPECT_EQ(panel.dataBox()->text(), "8");
  EXPECT_EQ(panel.deviceChooser()->currentText().toStdString(), line.port_path());
  EXPECT_TRUE(panel.applyButton()->isEnabled());
  EXPECT_LE(panel.com1()->geometry().right(), panel.com2()->geometry().left()) << "no overlap";

  settings.Baudrate = 57;
  settings.Port = 2;
  settings.Stop = 5;
  settings.Parity = 9;
  PortSettingsDialog other(settings, link);
  EXPECT_EQ(other.baudList()->currentText(), "57600") << "the first entry that begins with 57";
  EXPECT_FALSE(other.com1()->isChecked() || other.com2()->isChecked());
  EXPECT_EQ(other.stopList()->currentIndex(), -1);
  EXPECT_EQ(other.parityList()->currentIndex(), -1);
}

TEST_F(PortPanelTest, ApplyStoresOnlyWhatConnected) {
  PortSettingsDialog panel(settings, link);
  panel.show();
  panel.stopList()->setCurrentIndex(1);  // 1.5 stop bits: the line refuses
  EXPECT_FALSE(panel.Apply());
  EXPECT_EQ(messages, (std::vector<QString>{"Cannot setup opened COM port"}));
  EXPECT_EQ(details.back().toStdString(), "the driver of " + line.port_path() +
                                              " refused the line settings; 1.5 stop bits cannot "
                                              "be set on Linux");
  EXPECT_EQ(settings.Stop, 0u);
  EXPECT_TRUE(panel.applyButton()->isEnabled());

  panel.stopList()->setCurrentIndex(2);
  panel.baudList()->setCurrentIndex(11);   // 57600
  panel.parityList()->setCurrentIndex(0);  // EVEN
  panel.dataBox()->setText("264");         // the line gets 264 & 0xFF = 8
  EXPECT_TRUE(panel.Apply()) << messages.back().toStdString();
  EXPECT_FALSE(panel.applyButton()->isEnabled());
  EXPECT_EQ(Stored(), (std::vector<std::uint32_t>{57600, 264, 2, 2}));
  EXPECT_EQ(ReadLineSettings(line.port())->baud, 57600u);

  // Typed text in a list counts when it names an entry.
  panel.baudList()->lineEdit()->selectAll();
  QTest::keyClicks(panel.baudList()->lineEdit(), "115200");
  panel.parityList()->setEditText("odd");  // case does not matter
  panel.stopList()->setEditText("3");      // names no entry
  EXPECT_EQ(panel.baudList()->count(), 15) << "typing adds no entry";
  ASSERT_TRUE(panel.Apply());
  EXPECT_EQ(Stored(), (std::vector<std::uint32_t>{115200, 264, 1, 2}));
  EXPECT_EQ(ReadLineSettings(line.port())->baud, 115200u);
  EXPECT_EQ(panel.stopList()->currentText(), "2") << "shows the value in force";
  panel.baudList()->setEditText("110");  // the entry is "110 "
  EXPECT_TRUE(panel.applyButton()->isEnabled()) << "typing is a change";
  ASSERT_TRUE(panel.Apply());
  EXPECT_EQ(settings.Baudrate, 110u);

  test::PtyBox other;  // a new device behind COM1 is reopened, and stored
  panel.deviceChooser()->setEditText(QString::fromStdString(other.port_path()));
  EXPECT_TRUE(panel.Apply());
  EXPECT_EQ(settings.COM1.toStdString(), other.port_path());
  EXPECT_EQ(session.port().device_path(), other.port_path());

  panel.deviceChooser()->setEditText(
      QString::fromStdString((dir.path() / "gone").string()));  // fails: the old one stays
  EXPECT_FALSE(panel.Apply());
  EXPECT_EQ(messages.back(), "Cannot open COM port");
  EXPECT_EQ(settings.COM1.toStdString(), other.port_path());
}

// Enter on Apply applies; Enter in any field, and the title bar's close
// button, end the panel without applying; Escape does nothing.
TEST_F(PortPanelTest, HowEnterEscapeAndTheTitleBarEndThePanel) {
  PortSettingsDialog applied(settings, link);
  applied.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&applied));
  applied.baudList()->setCurrentIndex(12);  // 115200
  applied.applyButton()->setFocus();
  QTest::keyClick(applied.applyButton(), Qt::Key_Return);
  EXPECT_FALSE(applied.applyButton()->isEnabled()) << "applied";
  QTest::keyClick(applied.baudList()->lineEdit(), Qt::Key_Escape);
  EXPECT_TRUE(applied.isVisible());
  for (int way = 0; way < 4; ++way) {  // Enter in three fields, then the title bar
    PortSettingsDialog panel(settings, link);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    panel.baudList()->setCurrentIndex(8);  // 19200, never applied
    QWidget* fields[] = {panel.baudList()->lineEdit(), panel.stopList()->lineEdit(),
                         panel.dataBox()};
    QCloseEvent close;
    if (way == 3) {
      QApplication::sendEvent(panel.windowHandle(), &close);
    } else {
      fields[way]->setFocus();
      QTest::keyClick(fields[way], Qt::Key_Return);
    }
    EXPECT_FALSE(panel.isVisible()) << way;
    EXPECT_EQ(panel.result(), QDialog::Accepted);
    EXPECT_EQ(settings.Baudrate, 115200u);
    EXPECT_EQ(ReadLineSettings(line.port())->baud, 115200u);
  }
}

TEST(PanelParsing, DataBitsAreTheLeadingDigitsOfTheFirstNineCharacters) {
  for (const auto& [text, number] : {std::pair<const char*, unsigned>{"8", 8},
                                     {"264", 264},
                                     {"", 0},
                                     {"12345678901", 123456789}})
    EXPECT_EQ(LeadingNumber(text), number) << text;
}

}  // namespace
}  // namespace ternis
