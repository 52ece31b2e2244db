#include "app/registry_key.h"

namespace ternis {

int RegistryKey::OpenOrCreate(const QString& organisation, const QString& application) {
  auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                              organisation, application);
  settings->setAtomicSyncRequired(true);  // a crash mid-save never leaves half a file
  (void)settings->allKeys();              // parse now, so status() tells
  damaged_ = settings->status() != QSettings::NoError;
  if (damaged_) settings->clear();  // half-parsed leftovers must not be saved back
  const int closed = Close();
  settings_ = std::move(settings);
  return closed;
}

int RegistryKey::Close() {
  if (!settings_) return kSuccess;
  const int result = Flush();
  settings_.reset();
  return result;
}

int RegistryKey::ReadNumber(std::uint32_t& number, const QString& name) const {
  if (!settings_ || damaged_) return kFileNotFound;
  const QVariant value = settings_->value(name);
  if (!value.isValid()) return kFileNotFound;
  bool ok = false;
  const qulonglong parsed = value.toString().trimmed().toULongLong(&ok, 10);
  if (!ok || parsed > 0xFFFFFFFFull) return kFileNotFound;
  number = static_cast<std::uint32_t>(parsed);
  return kSuccess;
}

int RegistryKey::ReadText(QString& text, const QString& name, int buffer_size) const {
  if (!settings_ || damaged_) return kFileNotFound;
  const QVariant value = settings_->value(name);
  if (!value.isValid()) return kFileNotFound;
  const QString stored = value.toString();
  if (stored.toUtf8().size() + 1 > buffer_size) return kMoreData;
  text = stored;
  return kSuccess;
}

int RegistryKey::WriteNumber(std::uint32_t number, const QString& name) {
  if (!settings_) return kAccessDenied;
  settings_->setValue(name, static_cast<qulonglong>(number));
  return kSuccess;
}

int RegistryKey::WriteText(const QString& text, const QString& name) {
  if (!settings_) return kAccessDenied;
  settings_->setValue(name, text);
  return kSuccess;
}

int RegistryKey::Flush() {
  if (!settings_) return kSuccess;
  settings_->sync();
  const bool written = settings_->status() == QSettings::NoError;
  if (written) damaged_ = false;  // a save replaces a damaged file
  return written ? kSuccess : kAccessDenied;
}

}  // namespace ternis
