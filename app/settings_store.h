#pragma once
// The operator's choices, kept between runs: which file kind is selected,
// the path of each of the four files, the COM port and its line settings,
// the device behind each COM name, whether results are sounded and
// whether every data request is logged. Read once at start-up, changed in
// memory while the program runs, written back when the main window goes.
// A missing, damaged or unreadable file gives the defaults.

#include <QString>
#include <cstdint>

#include "app/registry_key.h"

namespace ternis {

class SettingsStore {
 public:
  static constexpr int kPathBufferSize = 260;  // paths of 260 bytes or more read as empty

  SettingsStore() = default;
  virtual ~SettingsStore() = default;
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  // Opens "Halvek"/"Velko" and reads every value; missing ones take their
  // defaults. Returns 1.
  int Load();
  // Writes all values in the fixed order; returns 1 (failures are silent).
  int Save();

  // The stored device of port index 0 (COM1) or 1 (COM2); null for others.
  QString* DeviceSlot(std::uint32_t port);

  std::uint32_t FILE_MASK = 0;
  QString Firmware;
  QString C_KEY;
  QString D_KEY;
  QString M_KEY;
  std::uint32_t Port = 0;
  std::uint32_t Baudrate = 0;
  std::uint32_t Data = 0;
  std::uint32_t Parity = 0;
  std::uint32_t Stop = 0;
  QString COM1;
  QString COM2;
  std::uint32_t Sound = 0;  // 1: a sound after each unit's result
  std::uint32_t LogEveryRequest = 0;  // 1: two log lines per data request

 private:
  // Every stored value, in the order they are read and written.
  struct Value {
    const char* name;
    std::uint32_t SettingsStore::*number;  // or
    QString SettingsStore::*text;
    std::uint32_t fallback;
  };
  static const Value kValues[14];

  RegistryKey key_;
};

}  // namespace ternis
