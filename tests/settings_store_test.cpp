#include "app/settings_store.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/process.h"
#include "tests/support/window_env.h"

namespace ternis {
namespace {

namespace fs = std::filesystem;
using test::ReadText;
using test::SettingsFile;

// Each default is checked as the first save writes it. A value lost on the
// way back would be saved as its default: the files differ.
TEST(SettingsStoreTest, FirstStartGivesTheDefaultsAndStoredValuesComeBackIdentically) {
  test::WriteSettings("");
  {
    SettingsStore store;
    EXPECT_EQ(store.Load(), 1);
    store.Save();
    const std::string text = ReadText(SettingsFile().string());
    for (const char* line :
         {"FILE_MASK=1\n", "M_KEY=\n", "D_KEY=\n", "C_KEY=\n", "Firmware=\n", "Port=0\n",
          "Baudrate=115200\n", "Data=8\n", "Parity=0\n", "Stop=0\n", "COM1=/dev/ttyS0\n",
          "COM2=/dev/ttyS1\n", "Sound=0\n", "LogEveryRequest=0\n"})
      EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    store.FILE_MASK = 2;  // none of the four kinds: kept as it is
    store.Firmware = "/srv/fw/stb 7.4=new;\"x\".hex";
    store.Port = 7;
    store.Save();
  }
  const std::string first = ReadText(SettingsFile().string());
  SettingsStore store;
  store.Load();
  EXPECT_EQ(store.FILE_MASK, 2u);
  EXPECT_EQ(store.Firmware, "/srv/fw/stb 7.4=new;\"x\".hex");
  store.Save();
  store.Save();
  EXPECT_EQ(ReadText(SettingsFile().string()), first);
}

// Paths of 260 bytes or more, and numbers that are not unsigned 32-bit.
TEST(SettingsStoreTest, ValuesThatDoNotFitCountAsMissing) {
  const std::string fits(259, 'a'), too_long(260, 'b');
  test::WriteSettings("M_KEY=/" + fits.substr(1) + "\nD_KEY=/" + too_long.substr(1) +
                      "\nBaudrate=fast\nData=4294967296\nParity=-1\nStop=2\nPort=1\n");
  SettingsStore store;
  store.Load();
  EXPECT_EQ(store.M_KEY.size(), 259);
  EXPECT_TRUE(store.D_KEY.isEmpty());
  const std::vector<std::uint32_t> numbers{store.Baudrate, store.Data, store.Parity, store.Stop,
                                           store.Port};
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{115200, 8, 0, 2, 1}));
}

// Damaged, or a folder where the file should be: the defaults; a save
// replaces the damaged file and fails quietly over the folder.
TEST(SettingsStoreTest, DamagedOrUnreadableFileGivesTheDefaults) {
  std::string garbage(400, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 37 + 11);
  for (const bool folder : {false, true}) {
    fs::remove_all(SettingsFile());
    if (folder) fs::create_directories(SettingsFile());
    if (!folder) test::WriteSettings("Baudrate=9600\n" + garbage);
    SettingsStore store;
    store.Load();
    EXPECT_EQ(store.Baudrate, 115200u);
    EXPECT_EQ(store.FILE_MASK, 1u);
    store.Baudrate = 19200;
    store.Save();
    SettingsStore again;
    again.Load();
    EXPECT_EQ(again.Baudrate, folder ? 115200u : 19200u) << folder;
  }
  fs::remove_all(SettingsFile());  // a file again for the next test
}

}  // namespace
}  // namespace ternis
