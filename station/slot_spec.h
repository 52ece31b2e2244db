#pragma once
// A slot of a station: a name for lines and records, and its device. The
// same syntax and checks for the server's command line and station file and
// for the station window.

#include <string>
#include <vector>

namespace ternis {

struct SlotSpec {
  std::string name;  // the device path when none was given
  std::string device;
  bool operator==(const SlotSpec&) const = default;
};

// "NAME=DEVICE" or "DEVICE". A NAME is letters, digits, '-', '_' and '.';
// an argument whose part before '=' holds a '/' is a device path.
bool ParseSlot(const std::string& argument, SlotSpec& slot, std::string& error);
// A device, and a good name when one was given.
bool CheckSlot(const SlotSpec& slot, bool named, std::string& error);
// No name and no device twice.
bool CheckUnique(const std::vector<SlotSpec>& slots, std::string& error);
bool IsSlotName(const std::string& name);
// slots[index] checked (named when its name is not its device) and no
// name or device twice among `slots`.
bool CheckSlotAmong(const std::vector<SlotSpec>& slots, std::size_t index, std::string& error);

}  // namespace ternis
