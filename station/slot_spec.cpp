#include "station/slot_spec.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace ternis {

bool IsSlotName(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '_' || c == '.';
  });
}

bool ParseSlot(const std::string& argument, SlotSpec& slot, std::string& error) {
  const auto equals = argument.find('=');
  const bool named =
      equals != std::string::npos && argument.substr(0, equals).find('/') == std::string::npos;
  slot.name = named ? argument.substr(0, equals) : argument;
  slot.device = named ? argument.substr(equals + 1) : argument;
  return CheckSlot(slot, named, error);
}

bool CheckSlot(const SlotSpec& slot, bool named, std::string& error) {
  if (slot.device.empty()) {
    error = "no device for slot \"" + slot.name + "\"";
    return false;
  }
  if (named && !IsSlotName(slot.name)) {
    error = "a slot name takes letters, digits, '-', '_' and '.': \"" + slot.name + "\"";
    return false;
  }
  return true;
}

bool CheckUnique(const std::vector<SlotSpec>& slots, std::string& error) {
  std::set<std::string> names, devices;
  for (const SlotSpec& slot : slots) {
    if (!names.insert(slot.name).second) {
      error = "slot \"" + slot.name + "\" given twice";
      return false;
    }
    if (!devices.insert(slot.device).second) {
      error = "device " + slot.device + " given twice";
      return false;
    }
  }
  return true;
}

bool CheckSlotAmong(const std::vector<SlotSpec>& slots, std::size_t index, std::string& error) {
  const SlotSpec& slot = slots[index];
  return CheckSlot(slot, slot.name != slot.device, error) && CheckUnique(slots, error);
}

}  // namespace ternis
