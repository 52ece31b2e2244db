#pragma once
// The station's INI file (for running as a service):
//
//   [station]
//   file = /srv/fw/stb-7.4.1.hex
//   baud = 115200
//   unit_timeout = 30
//   record = /var/lib/ternis/line3.jsonl
//
//   [slots]
//   s1 = /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0
//
// [station] takes the command line's options by their long names; [slots]
// takes NAME = DEVICE. Errors name the line.

#include <string>

#include "serve/serve_options.h"

namespace ternis::serve {

bool LoadStationConfig(const std::string& path, ServeOptions& options, std::string& error);

}  // namespace ternis::serve
