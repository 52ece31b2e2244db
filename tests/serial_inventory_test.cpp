// The inventory read by the real libudev from a udev world mocked by
// umockdev: ctest runs this binary under umockdev-run, once with the devices
// in tests/data loaded (FTDI and CP210x adapters, two ttyS ports and a
// virtual console) and once with none.

#include "station/serial_inventory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace ternis {
namespace {

using Strings = std::vector<std::string>;

const char* TestbedDir() {
  return std::getenv("UMOCKDEV_DIR");
}

Strings Nodes(const std::vector<SerialDevice>& devices) {
  Strings nodes;
  for (const SerialDevice& device : devices) nodes.push_back(device.node);
  return nodes;
}

class SerialInventory : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TestbedDir() == nullptr) {
      GTEST_SKIP() << "needs umockdev's testbed (UMOCKDEV_DIR not set): run it through ctest, "
                      "or under umockdev-run with one --device per tests/data/*.umockdev";
    }
    devices_ = ListSerialDevices();
  }

  std::vector<SerialDevice> devices_;
};

// Only ports with hardware behind them, sorted by node: ttyS1's UART type
// is 0 (nothing answered) and tty0 has no parent device. USB adapters are
// described from their USB device: its own strings (not udev's ID_MODEL
// with underscores), no serial number where it has none (not the root
// hub's), and their links. A ttyS port's driver is the one past the
// serial-base device, not "port".
TEST_F(SerialInventory, ListsPortsWithHardwareAndDescribesThem) {
  ASSERT_EQ(Nodes(devices_), (Strings{"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyUSB1"}));
  const std::pair<std::string, std::string> described[] = {
      {"/dev/ttyS0", "serial8250 : '' '' ''"},
      {"/dev/ttyUSB0", "ftdi_sio 0403:6001 'A10KZP1X' 'FTDI' 'FT232R USB UART'"},
      {"/dev/ttyUSB1", "cp210x 10c4:ea60 '' 'Silicon Labs' 'CP2102 USB to UART Bridge Controller'"},
  };
  for (const auto& [node, description] : described) {
    const auto device = std::ranges::find(devices_, node, &SerialDevice::node);
    ASSERT_NE(device, devices_.end()) << node;
    EXPECT_EQ(device->driver + " " + device->vendor_id + ":" + device->product_id + " '" +
                  device->serial + "' '" + device->manufacturer + "' '" + device->product + "'",
              description);
  }

  // umockdev does not mock udev's database under /run/udev: a real device
  // with the same number on this machine would mix its links in.
  for (const char* entry : {"/run/udev/data/c188:0", "/run/udev/data/c188:1"}) {
    if (access(entry, F_OK) == 0) {
      GTEST_SKIP() << "this machine's udev knows a real device as " << entry
                   << "; its database entry would mix in with the mocked adapter";
    }
  }
  const SerialDevice& ftdi = devices_[1];
  EXPECT_EQ(ftdi.by_path, (Strings{"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"}));
  EXPECT_EQ(ftdi.by_id,
            (Strings{"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZP1X-if00-port0"}));
  const SerialDevice& cp210x = devices_[2];
  EXPECT_EQ(cp210x.by_path, (Strings{"/dev/serial/by-path/pci-0000:03:00.0-usb-0:1:1.0-port0"}));
  EXPECT_EQ(cp210x.by_id,
            (Strings{"/dev/serial/by-id/"
                     "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller-if00-port0"}));
}

// Runs in a testbed with no devices.
TEST(SerialInventoryNoDevices, TheMachinesOwnPortsStayOut) {
  if (TestbedDir() == nullptr) GTEST_SKIP() << "needs umockdev's testbed (UMOCKDEV_DIR not set)";
  // umockdev-run with no --device leaves the testbed's sysfs without devices.
  if (std::filesystem::exists(std::filesystem::path(TestbedDir()) / "sys" / "devices")) {
    GTEST_SKIP() << "the testbed has devices loaded";
  }
  EXPECT_EQ(Nodes(ListSerialDevices()), Strings{});
}

TEST(ClosestNodes, RanksByEditDistanceThenName) {
  std::vector<SerialDevice> devices(3);
  devices[0].node = "/dev/ttyACM0";
  devices[0].by_id = {"/dev/serial/by-id/usb-Arduino_Uno_7573-if00"};
  devices[1].node = "/dev/ttyUSB1";
  devices[2].node = "/dev/ttyUSB0";
  devices[2].by_path = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"};

  // Equally close: by name. However many are asked for, only names a few
  // edits away (not ttyACM0, four away).
  EXPECT_EQ(ClosestNodes("/dev/ttyUSB3", devices, 100), (Strings{"/dev/ttyUSB0", "/dev/ttyUSB1"}));
  EXPECT_EQ(ClosestNodes("/dev/ttyACM1", devices, 1), (Strings{"/dev/ttyACM0"}));
  EXPECT_EQ(ClosestNodes("/dev/serial/by-id/usb-Arduino_Uno_7537-if00", devices, 1),
            (Strings{"/dev/serial/by-id/usb-Arduino_Uno_7573-if00"}));
  EXPECT_EQ(ClosestNodes("/dev/ttyUSB0", devices, 0), Strings{});
  // Two devices can both claim a link; it is offered once.
  devices[1].by_id = devices[0].by_id;
  EXPECT_EQ(ClosestNodes("/dev/serial/by-id/usb-Arduino_Uno_7573-if00", devices, 2),
            (Strings{"/dev/serial/by-id/usb-Arduino_Uno_7573-if00"}));
  // A name that has little in common suggests nothing.
  EXPECT_EQ(ClosestNodes("/srv/boxes/later", devices, 3), Strings{});
  EXPECT_EQ(ClosestNodes("/dev/ttyUSB0", {}, 5), Strings{});
}

}  // namespace
}  // namespace ternis
