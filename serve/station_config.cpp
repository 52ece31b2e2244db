#include "serve/station_config.h"

#include <ini.h>

#include <cerrno>
#include <cstring>

namespace ternis::serve {

namespace {

struct Reader {
  ServeOptions& options;
  std::string error;  // the first one; ini_parse gives its line
};

int OnValue(void* user, const char* section, const char* name, const char* value) {
  auto* reader = static_cast<Reader*>(user);
  std::string error;
  bool ok = true;
  const std::string where = section;
  if (where == "station") {
    ok = std::string(name) != "list" && ApplySetting(reader->options, name, value, error);
    if (!ok && error.empty()) error = "unknown setting \"list\"";
  } else if (where == "slots") {
    const SlotSpec slot{name, value};
    std::vector<SlotSpec> slots = reader->options.slots;
    slots.push_back(slot);
    ok = CheckSlot(slot, true, error) && CheckUnique(slots, error);
    if (ok) reader->options.slots = std::move(slots);
  } else {
    ok = false;
    error = "unknown section [" + where + "]; there are [station] and [slots]";
  }
  if (!ok && reader->error.empty()) reader->error = error;
  return ok ? 1 : 0;
}

}  // namespace

bool LoadStationConfig(const std::string& path, ServeOptions& options, std::string& error) {
  Reader reader{options, {}};
  const int result = ini_parse(path.c_str(), OnValue, &reader);
  if (result == -1) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  if (result == -2) {
    error = path + ": out of memory";
    return false;
  }
  if (result > 0) {
    error = path + ":" + std::to_string(result) + ": " +
            (reader.error.empty() ? "not a setting (NAME = VALUE)" : reader.error);
    return false;
  }
  return true;
}

}  // namespace ternis::serve
