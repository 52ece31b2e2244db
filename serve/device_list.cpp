#include "serve/device_list.h"

#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <string>

#include "station/port_diagnosis.h"
#include "station/printable_text.h"
#include "station/serial_inventory.h"

namespace ternis::serve {

namespace {

// "" when it can be opened now, else why not.
std::string Availability(const SerialDevice& device) {
  PortFailure failure;
  failure.path = device.node;
  if (::access(device.node.c_str(), R_OK | W_OK) != 0) {
    failure.error = errno;
    return DiagnosePort(failure).Text();
  }
  const auto holders = ProcessesHolding(device.node);
  if (holders.empty()) return "";
  failure.error = EBUSY;
  return DiagnosePort(failure).Text();
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

}  // namespace

int ListDevices(std::FILE* out, bool json) {
  const std::vector<SerialDevice> devices = ListSerialDevices();
  if (devices.empty() && !json) std::fputs("no serial devices found\n", out);
  for (const SerialDevice& d : devices) {
    const std::string problem = Availability(d);
    if (json) {
      const nlohmann::json line{
          {"device", d.node},          {"by_path", d.by_path},
          {"by_id", d.by_id},          {"vendor_id", d.vendor_id},
          {"product_id", d.product_id}, {"serial", d.serial},
          {"manufacturer", d.manufacturer}, {"product", d.product},
          {"driver", d.driver},        {"available", problem.empty()},
          {"problem", problem}};
      const auto replace = nlohmann::json::error_handler_t::replace;  // not UTF-8: U+FFFD
      std::fprintf(out, "%s\n", line.dump(-1, ' ', false, replace).c_str());
      continue;
    }
    std::string text = d.node;
    if (!d.vendor_id.empty()) text += "  usb " + d.vendor_id + ":" + d.product_id;
    if (!d.manufacturer.empty() || !d.product.empty())
      text += "  \"" + d.manufacturer + (d.product.empty() ? "" : " " + d.product) + "\"";
    if (!d.vendor_id.empty())
      text += "  serial " + (d.serial.empty() ? std::string("(none)") : d.serial);
    if (!d.driver.empty()) text += "  driver " + d.driver;
    if (!d.by_path.empty()) text += "  by-path " + Joined(d.by_path);
    if (!d.by_id.empty()) text += "  by-id " + Joined(d.by_id);
    text += problem.empty() ? "  [can be opened]" : "  [cannot be opened: " + problem + "]";
    std::fprintf(out, "%s\n", PrintableText(text).c_str());
  }
  return 0;
}

}  // namespace ternis::serve
