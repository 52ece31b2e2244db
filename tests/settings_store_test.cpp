#include "app/settings_store.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <filesystem>
#include <fstream>

#include "tests/support/process.h"

namespace ternis {
namespace {

namespace fs = std::filesystem;

class SettingsStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(folder());
    fs::create_directories(folder());
  }
  static fs::path folder() { return fs::path(qgetenv("XDG_CONFIG_HOME").toStdString()) / "Halvek"; }
  static fs::path file() { return folder() / "Velko.conf"; }
  static void WriteFile(const std::string& text) {
    std::ofstream(file(), std::ios::binary) << text;
  }
};

// Each default is checked as the first save writes it.
TEST_F(SettingsStoreTest, FirstStartGivesTheDefaultsAndTheFirstSaveCreatesEveryValue) {
  SettingsStore store;
  EXPECT_EQ(store.Load(), 1);
  store.Save();
  const std::string text = test::ReadText(file().string());
  for (const char* line :
       {"FILE_MASK=1\n", "M_KEY=\n", "D_KEY=\n", "C_KEY=\n", "Firmware=\n", "Port=0\n",
        "Baudrate=115200\n", "Data=8\n", "Parity=0\n", "Stop=0\n", "COM1=/dev/ttyS0\n",
        "COM2=/dev/ttyS1\n", "Sound=0\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
}

TEST_F(SettingsStoreTest, StoredValuesComeBackAndTwoSavesWriteIdenticalFiles) {
  {
    SettingsStore store;
    store.Load();
    store.FILE_MASK = 2;  // none of the four kinds: kept as it is
    store.Firmware = "/srv/fw/stb 7.4=new;\"x\".hex";
    store.Port = 7;
    store.Baudrate = 57600;
    store.Parity = 3;
    store.COM2 = "/dev/ttyUSB0";
    store.Save();
  }
  const std::string first = test::ReadText(file().string());
  SettingsStore store;
  store.Load();
  EXPECT_EQ(store.FILE_MASK, 2u);
  EXPECT_EQ(store.Firmware, "/srv/fw/stb 7.4=new;\"x\".hex");
  EXPECT_EQ(store.Port, 7u);
  EXPECT_EQ(store.Baudrate, 57600u);
  EXPECT_EQ(store.Parity, 3u);
  EXPECT_EQ(store.COM2, "/dev/ttyUSB0");
  store.Save();
  store.Save();
  EXPECT_EQ(test::ReadText(file().string()), first);
}

TEST_F(SettingsStoreTest, PathsOf260BytesOrMoreReadAsEmpty) {
  const std::string fits(259, 'a'), too_long(260, 'b');
  WriteFile("[General]\nM_KEY=/" + fits.substr(1) + "\nD_KEY=/" + too_long.substr(1) + "\n");
  SettingsStore store;
  store.Load();
  EXPECT_EQ(store.M_KEY.size(), 259);
  EXPECT_TRUE(store.D_KEY.isEmpty());
}

TEST_F(SettingsStoreTest, NumbersThatAreNotUnsigned32BitCountAsMissing) {
  WriteFile("[General]\nBaudrate=fast\nData=4294967296\nParity=-1\nStop=2\nPort=1\n");
  SettingsStore store;
  store.Load();
  EXPECT_EQ(store.Baudrate, 115200u);
  EXPECT_EQ(store.Data, 8u);
  EXPECT_EQ(store.Parity, 0u);
  EXPECT_EQ(store.Stop, 2u);
  EXPECT_EQ(store.Port, 1u);
}

TEST_F(SettingsStoreTest, DamagedFileGivesTheDefaultsAndASaveReplacesIt) {
  std::string garbage(400, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 37 + 11);
  WriteFile("[General]\nBaudrate=9600\n" + garbage);
  SettingsStore store;
  store.Load();
  EXPECT_EQ(store.Baudrate, 115200u);
  EXPECT_EQ(store.FILE_MASK, 1u);
  store.Baudrate = 19200;
  store.Save();
  SettingsStore again;
  again.Load();
  EXPECT_EQ(again.Baudrate, 19200u) << test::ReadText(file().string());
}

TEST_F(SettingsStoreTest, UnreadableFileGivesTheDefaults) {
  fs::create_directory(file());  // a directory where the file should be
  SettingsStore store;
  store.Load();
  EXPECT_EQ(store.FILE_MASK, 1u);
  EXPECT_EQ(store.Baudrate, 115200u);
  store.Save();  // fails quietly
}

}  // namespace
}  // namespace ternis
