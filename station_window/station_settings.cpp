#include "station_window/station_settings.h"

#include <QSettings>
#include <cmath>

#include "app/file_kind.h"
#include "app/settings_store.h"

#ifndef TERNIS_VERSION
#define TERNIS_VERSION "0"
#endif

namespace ternis {

namespace {

constexpr std::size_t kPoolLowMark = 10;  // keys left in the pool when the log warns

// Each kind's path field, in the order of kFileKinds; kept under the names
// the classic window uses at the top level.
constexpr QString StationWindowSettings::*kKindPaths[4] = {
    &StationWindowSettings::m_key, &StationWindowSettings::d_key, &StationWindowSettings::c_key,
    &StationWindowSettings::firmware};

bool IsKind(std::uint32_t kind) {
  for (const FileKindEntry& entry : kFileKinds)
    if (entry.kind == kind) return true;
  return false;
}

LineSettings LineOf(const SettingsStore& store) {
  LineSettings line;
  line.baud = store.Baudrate;
  line.data_bits = static_cast<std::uint8_t>(store.Data);
  line.parity = static_cast<std::uint8_t>(store.Parity);
  line.stop_bits = static_cast<std::uint8_t>(store.Stop);
  return line;
}

// The same checks as the server's command line: a bad or repeated slot is
// dropped rather than served under a name that is not its own.
std::vector<SlotSpec> ReadSlots(QSettings& file) {
  std::vector<SlotSpec> slot_specs;
  const int count = file.beginReadArray(QStringLiteral("Slots"));
  for (int i = 0; i < count; ++i) {
    file.setArrayIndex(i);
    SlotSpec slot{file.value(QStringLiteral("Name")).toString().toStdString(),
                  file.value(QStringLiteral("Device")).toString().toStdString()};
    if (slot.name.empty()) slot.name = slot.device;
    std::string error;
    std::vector<SlotSpec> with = slot_specs;
    with.push_back(slot);
    if (CheckSlotAmong(with, with.size() - 1, error)) slot_specs = std::move(with);
  }
  file.endArray();
  return slot_specs;
}

}  // namespace

QString* StationWindowSettings::PathOf(std::uint32_t kind) {
  for (std::size_t i = 0; i < std::size(kFileKinds); ++i)
    if (kFileKinds[i].kind == kind) return &(this->*kKindPaths[i]);
  return nullptr;
}

StationChoice StationWindowSettings::ChoiceFor(const QString& file, bool key) const {
  StationChoice choice;
  choice.file = file.toStdString();
  choice.key = key;
  choice.key_pool = key_pool.toStdString();
  choice.pool_low = kPoolLowMark;
  choice.record = record_path.toStdString();
  choice.station_name = station_name.toStdString();
  choice.line = line;
  choice.unit_timeout = unit_timeout;
  choice.tool_version = TERNIS_VERSION;
  return choice;
}

void StationWindowSettings::Load() {
  SettingsStore store;
  store.Load();
  line = LineOf(store);
  kind = IsKind(store.FILE_MASK) ? store.FILE_MASK : FIRMWARE_FILE;
  firmware = store.Firmware, c_key = store.C_KEY, d_key = store.D_KEY, m_key = store.M_KEY;

  QSettings file(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Halvek"),
                 QStringLiteral("Velko"));
  if (file.status() != QSettings::NoError) return;  // damaged: the defaults
  file.beginGroup(QStringLiteral("Station"));
  bool ok = false;
  const std::uint32_t stored_kind = file.value(QStringLiteral("FileKind")).toUInt(&ok);
  if (ok && IsKind(stored_kind)) kind = stored_kind;
  for (std::size_t i = 0; i < std::size(kFileKinds); ++i) {
    const QString name = QLatin1String(kFileKinds[i].setting);
    if (file.contains(name)) this->*kKindPaths[i] = file.value(name).toString();
  }
  record_path = file.value(QStringLiteral("Record")).toString();
  key_pool = file.value(QStringLiteral("KeyPool")).toString();
  station_name = file.value(QStringLiteral("StationName")).toString();
  const double timeout = file.value(QStringLiteral("UnitTimeout"), 30.0).toDouble(&ok);
  if (ok && timeout >= 0 && timeout <= 24 * 3600)
    unit_timeout = std::chrono::milliseconds(std::llround(timeout * 1000));
  slot_specs = ReadSlots(file);
}

void StationWindowSettings::Save() const {
  // The top level first: a damaged file is replaced there, and the group
  // is written into the new one.
  SettingsStore store;
  store.Load();
  if (LineOf(store) != line) {
    store.Baudrate = line.baud;
    store.Data = line.data_bits;
    store.Parity = line.parity;
    store.Stop = line.stop_bits;
    store.Save();
  }
  QSettings file(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Halvek"),
                 QStringLiteral("Velko"));
  file.setAtomicSyncRequired(true);
  file.beginGroup(QStringLiteral("Station"));
  file.remove(QString());  // slots removed since are gone from the file too
  file.setValue(QStringLiteral("FileKind"), kind);
  for (std::size_t i = 0; i < std::size(kFileKinds); ++i)
    file.setValue(QLatin1String(kFileKinds[i].setting), this->*kKindPaths[i]);
  file.setValue(QStringLiteral("Record"), record_path);
  if (!key_pool.isEmpty()) file.setValue(QStringLiteral("KeyPool"), key_pool);
  if (!station_name.isEmpty()) file.setValue(QStringLiteral("StationName"), station_name);
  file.setValue(QStringLiteral("UnitTimeout"), static_cast<double>(unit_timeout.count()) / 1000.0);
  file.beginWriteArray(QStringLiteral("Slots"), static_cast<int>(slot_specs.size()));
  for (std::size_t i = 0; i < slot_specs.size(); ++i) {
    file.setArrayIndex(static_cast<int>(i));
    file.setValue(QStringLiteral("Name"), QString::fromStdString(slot_specs[i].name));
    file.setValue(QStringLiteral("Device"), QString::fromStdString(slot_specs[i].device));
  }
  file.endArray();
  file.endGroup();
  file.sync();
}

}  // namespace ternis
