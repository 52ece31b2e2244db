#include "station/serial_inventory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ternis {
namespace {

using Strings = std::vector<std::string>;

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
