#pragma once
// The serial devices this machine has, as udev sees them: what
// `ternis-serve --list` prints, and where a missing device's "did you mean"
// comes from. Read through libudev, so the stable names under
// /dev/serial/by-path and /dev/serial/by-id come with each node.

#include <cstddef>
#include <string>
#include <vector>

namespace ternis {

struct SerialDevice {
  std::string node;                   // /dev/ttyUSB0
  std::vector<std::string> by_path;   // /dev/serial/by-path/... links
  std::vector<std::string> by_id;     // /dev/serial/by-id/... links
  std::string vendor_id, product_id;  // USB "0403", "6001"; empty when not USB
  std::string serial;                 // USB serial number; empty when none
  std::string manufacturer, product;  // USB strings
  std::string driver;                 // ftdi_sio, cp210x, serial8250, ...
};

// Every serial device udev knows, sorted by node. Skips virtual terminals and
// ttyS ports with no UART behind them (sysfs "type" 0). Empty when udev
// cannot be read.
std::vector<SerialDevice> ListSerialDevices();

// The device paths (nodes and their by-path / by-id links) whose names are
// closest to `wanted` by edit distance, closest first (equally close ones by
// name), at most `at_most` of them.
std::vector<std::string> ClosestNodes(const std::string& wanted,
                                      const std::vector<SerialDevice>& devices,
                                      std::size_t at_most);

}  // namespace ternis
