#pragma once
// What the station window keeps between runs, in the `Station` group of the
// program's settings file (QSettings "Halvek"/"Velko"): the slots (names and
// devices, in the order shown), the file kind and the path of each kind, the
// key pool, the record file and the unit time-out. The line settings are the COM port
// panel's own (`Baudrate`, `Data`, `Parity`, `Stop` at the top level), so
// both windows talk to boxes the same way.

#include <QString>
#include <chrono>
#include <cstdint>
#include <vector>

#include "link/line_settings.h"
#include "station/slot_spec.h"

namespace ternis {

class StationWindowSettings {
 public:
  // Reads the group; a first start takes the classic window's file kind and
  // paths. Slots that fail the server's checks are dropped.
  void Load();
  // Writes the group (and the line settings) back, atomically.
  void Save() const;

  // The path stored for `kind`; null for an unknown kind.
  QString* PathOf(std::uint32_t kind);

  std::vector<SlotSpec> slot_specs;
  std::uint32_t kind = 0;
  QString firmware, c_key, d_key, m_key;
  QString record_path;  // empty: no record file
  QString key_pool;     // a folder of keys, one for each box, instead of the file; empty: none
  std::chrono::milliseconds unit_timeout{std::chrono::seconds(30)};
  LineSettings line;
};

// A key file (M, D or C) is a secret: kept out of core dumps and swap.
bool IsKeyKind(std::uint32_t kind);

}  // namespace ternis
