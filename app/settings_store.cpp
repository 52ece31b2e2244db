#include "app/settings_store.h"

namespace ternis {

const SettingsStore::Value SettingsStore::kValues[14] = {
    {"FILE_MASK", &SettingsStore::FILE_MASK, nullptr, 1},
    {"M_KEY", nullptr, &SettingsStore::M_KEY, 0},
    {"D_KEY", nullptr, &SettingsStore::D_KEY, 0},
    {"C_KEY", nullptr, &SettingsStore::C_KEY, 0},
    {"Firmware", nullptr, &SettingsStore::Firmware, 0},
    {"Port", &SettingsStore::Port, nullptr, 0},
    {"Baudrate", &SettingsStore::Baudrate, nullptr, 115200},
    {"Data", &SettingsStore::Data, nullptr, 8},
    {"Parity", &SettingsStore::Parity, nullptr, 0},
    {"Stop", &SettingsStore::Stop, nullptr, 0},
    {"COM1", nullptr, &SettingsStore::COM1, 0},
    {"COM2", nullptr, &SettingsStore::COM2, 0},
    {"Sound", &SettingsStore::Sound, nullptr, 0},
    {"LogEveryRequest", &SettingsStore::LogEveryRequest, nullptr, 0},
};

int SettingsStore::Load() {
  key_.OpenOrCreate(QStringLiteral("Halvek"), QStringLiteral("Velko"));
  for (const Value& value : kValues) {
    const QString name = QLatin1String(value.name);
    if (value.number) {
      if (key_.ReadNumber(this->*value.number, name) != RegistryKey::kSuccess)
        this->*value.number = value.fallback;
    } else {
      QString text;  // missing, or too long for the buffer: empty
      key_.ReadText(text, name, kPathBufferSize);
      this->*value.text = text;
    }
  }
  if (COM1.isEmpty()) COM1 = QStringLiteral("/dev/ttyS0");
  if (COM2.isEmpty()) COM2 = QStringLiteral("/dev/ttyS1");
  return 1;
}

int SettingsStore::Save() {
  for (const Value& value : kValues) {
    const QString name = QLatin1String(value.name);
    if (value.number) {
      key_.WriteNumber(this->*value.number, name);
    } else {
      key_.WriteText(this->*value.text, name);
    }
  }
  key_.Flush();
  return 1;
}

QString* SettingsStore::DeviceSlot(std::uint32_t port) {
  if (port == 0) return &COM1;
  if (port == 1) return &COM2;
  return nullptr;
}

}  // namespace ternis
