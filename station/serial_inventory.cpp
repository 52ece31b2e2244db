#include "station/serial_inventory.h"

#include <libudev.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "station/printable_text.h"

namespace ternis {

namespace {

constexpr std::string_view kByPath = "/dev/serial/by-path/";
constexpr std::string_view kById = "/dev/serial/by-id/";

struct UdevUnref {
  void operator()(udev* p) const { udev_unref(p); }
  void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
  void operator()(udev_device* p) const { udev_device_unref(p); }
};
// Parents handed out by libudev belong to their child: only what we create
// goes in one of these.
template <typename T>
using UdevRef = std::unique_ptr<T, UdevUnref>;

std::string Text(const char* value) {
  return value != nullptr ? value : "";
}

void AddLink(std::string_view link, SerialDevice& device) {
  std::vector<std::string>* list = nullptr;
  if (link.starts_with(kByPath)) {
    list = &device.by_path;
  } else if (link.starts_with(kById)) {
    list = &device.by_id;
  } else {
    return;  // a local rule's own name; not one we offer
  }
  if (std::find(list->begin(), list->end(), link) == list->end()) list->emplace_back(link);
}

void ReadLinks(udev_device* tty, SerialDevice& device) {
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_device_get_devlinks_list_entry(tty)) {
    AddLink(Text(udev_list_entry_get_name(entry)), device);
  }
  // libudev builds that list from udev's database under /run/udev alone. A
  // device whose properties come from elsewhere (a recorded or mocked one)
  // has its links only in the DEVLINKS property.
  const std::string devlinks = Text(udev_device_get_property_value(tty, "DEVLINKS"));
  std::string_view all = devlinks;
  while (!all.empty()) {
    const std::size_t end = std::min(all.find(' '), all.size());
    if (end > 0) AddLink(all.substr(0, end), device);
    all.remove_prefix(std::min(end + 1, all.size()));
  }
  std::sort(device.by_path.begin(), device.by_path.end());
  std::sort(device.by_id.begin(), device.by_id.end());
}

// The tty device itself has no driver; the port or interface above it does.
// Newer kernels put serial-base "port"/"ctrl" devices between a UART and its
// driver, and those names tell nobody anything.
std::string NearestDriver(udev_device* tty) {
  for (udev_device* device = tty; device != nullptr; device = udev_device_get_parent(device)) {
    if (Text(udev_device_get_subsystem(device)) == "serial-base") continue;
    if (const char* driver = udev_device_get_driver(device)) return driver;
  }
  return "";
}

std::optional<SerialDevice> Describe(udev_device* tty) {
  const char* node = udev_device_get_devnode(tty);
  // No parent: a virtual terminal, pty or console, nothing on a wire.
  if (node == nullptr || udev_device_get_parent(tty) == nullptr) return std::nullopt;
  // serial_core registers every port the platform might have; "type" 0
  // (PORT_UNKNOWN) says no UART answered at that address.
  if (Text(udev_device_get_sysattr_value(tty, "type")) == "0") return std::nullopt;

  SerialDevice device;
  device.node = node;
  ReadLinks(tty, device);
  // The sysfs strings as the device reports them; udev's ID_MODEL and the
  // like have their spaces replaced.
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device")) {
    device.vendor_id = Text(udev_device_get_sysattr_value(usb, "idVendor"));
    device.product_id = Text(udev_device_get_sysattr_value(usb, "idProduct"));
    // Written by whoever made the device: escaped before anyone shows them.
    device.serial = PrintableText(Text(udev_device_get_sysattr_value(usb, "serial")));
    device.manufacturer = PrintableText(Text(udev_device_get_sysattr_value(usb, "manufacturer")));
    device.product = PrintableText(Text(udev_device_get_sysattr_value(usb, "product")));
  }
  device.driver = NearestDriver(tty);
  return device;
}

std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j < row.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::vector<SerialDevice> ListSerialDevices() {
  std::vector<SerialDevice> devices;
  UdevRef<udev> context(udev_new());
  if (!context) return devices;
  UdevRef<udev_enumerate> scan(udev_enumerate_new(context.get()));
  if (!scan || udev_enumerate_add_match_subsystem(scan.get(), "tty") < 0 ||
      udev_enumerate_scan_devices(scan.get()) < 0) {
    return devices;
  }
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(scan.get())) {
    UdevRef<udev_device> tty(
        udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (!tty) continue;  // unplugged since the scan
    if (std::optional<SerialDevice> device = Describe(tty.get())) {
      devices.push_back(std::move(*device));
    }
  }
  std::sort(devices.begin(), devices.end(),
            [](const SerialDevice& a, const SerialDevice& b) { return a.node < b.node; });
  return devices;
}

std::vector<std::string> ClosestNodes(const std::string& wanted,
                                      const std::vector<SerialDevice>& devices,
                                      std::size_t at_most) {
  std::vector<std::pair<std::size_t, std::string>> scored;
  auto score = [&](const std::string& path) {
    scored.emplace_back(EditDistance(wanted, path), path);
  };
  for (const SerialDevice& device : devices) {
    score(device.node);
    for (const std::string& link : device.by_path) score(link);
    for (const std::string& link : device.by_id) score(link);
  }
  std::sort(scored.begin(), scored.end());
  scored.erase(std::unique(scored.begin(), scored.end()), scored.end());

  // A name that shares little with the one wanted is no help: a typo is a
  // few characters, not most of the name.
  const std::size_t near_enough = std::max<std::size_t>(3, wanted.size() / 4);
  std::vector<std::string> closest;
  for (std::size_t i = 0; i < scored.size() && closest.size() < at_most; ++i) {
    if (scored[i].first > near_enough) break;
    closest.push_back(std::move(scored[i].second));
  }
  return closest;
}

}  // namespace ternis
