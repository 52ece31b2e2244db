#include "app/settings_store.h"

namespace ternis {

int SettingsStore::Load() {
  key_.OpenOrCreate(QStringLiteral("Halvek"), QStringLiteral("Velko"));
  ReadNumber(FILE_MASK, "FILE_MASK", 1);
  ReadPath(M_KEY, "M_KEY");
  ReadPath(D_KEY, "D_KEY");
  ReadPath(C_KEY, "C_KEY");
  ReadPath(Firmware, "Firmware");
  ReadNumber(Port, "Port", 0);
  ReadNumber(Baudrate, "Baudrate", 115200);
  ReadNumber(Data, "Data", 8);
  ReadNumber(Parity, "Parity", 0);
  ReadNumber(Stop, "Stop", 0);
  ReadPath(COM1, "COM1");
  ReadPath(COM2, "COM2");
  if (COM1.isEmpty()) COM1 = QStringLiteral("/dev/ttyS0");
  if (COM2.isEmpty()) COM2 = QStringLiteral("/dev/ttyS1");
  return 1;
}

void SettingsStore::ReadPath(QString& path, const char* name) {
  QString text;
  key_.ReadText(text, QLatin1String(name), kPathBufferSize);
  path = text;  // whatever the result: missing or too long gives empty
}

void SettingsStore::ReadNumber(std::uint32_t& number, const char* name, std::uint32_t fallback) {
  if (key_.ReadNumber(number, QLatin1String(name)) != RegistryKey::kSuccess) number = fallback;
}

int SettingsStore::Save() {
  key_.WriteNumber(FILE_MASK, QStringLiteral("FILE_MASK"));
  key_.WriteText(M_KEY, QStringLiteral("M_KEY"));
  key_.WriteText(D_KEY, QStringLiteral("D_KEY"));
  key_.WriteText(C_KEY, QStringLiteral("C_KEY"));
  key_.WriteText(Firmware, QStringLiteral("Firmware"));
  key_.WriteNumber(Port, QStringLiteral("Port"));
  key_.WriteNumber(Baudrate, QStringLiteral("Baudrate"));
  key_.WriteNumber(Data, QStringLiteral("Data"));
  key_.WriteNumber(Parity, QStringLiteral("Parity"));
  key_.WriteNumber(Stop, QStringLiteral("Stop"));
  key_.WriteText(COM1, QStringLiteral("COM1"));
  key_.WriteText(COM2, QStringLiteral("COM2"));
  key_.Flush();
  return 1;
}

QString SettingsStore::DeviceOf(const QString& name) const {
  if (name == QLatin1String("COM1")) return COM1;
  if (name == QLatin1String("COM2")) return COM2;
  return {};
}

}  // namespace ternis
