#pragma once
// What the station window keeps between runs, in the `Station` group of the
// program's settings file (QSettings "Halvek"/"Velko"): the slots (names and
// devices, in the order shown), the file kind and the path of each kind, the
// key pool and the record target (each a path or a postgresql:// URI), the
// station's name and the unit time-out. The line settings are the COM port
// panel's own (`Baudrate`, `Data`, `Parity`, `Stop` at the top level), so
// both windows talk to boxes the same way.

#include <QString>
#include <chrono>
#include <cstdint>
#include <vector>

#include "link/line_settings.h"
#include "station/slot_spec.h"
#include "station/station_setup.h"

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
  // The station these settings describe, serving `file` (`key`: a secret).
  StationChoice ChoiceFor(const QString& file, bool key) const;

  std::vector<SlotSpec> slot_specs;
  std::uint32_t kind = 0;
  QString firmware, c_key, d_key, m_key;
  QString record_path;   // a file or a postgresql:// URI; empty: not recorded
  QString key_pool;      // a folder or a postgresql:// URI, instead of the file; empty: none
  QString station_name;  // with every record and key state; empty: the host name
  std::chrono::milliseconds unit_timeout{std::chrono::seconds(30)};
  LineSettings line;
};

}  // namespace ternis
