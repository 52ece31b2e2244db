#pragma once
// One open settings key: the classic registry key "Software\Halvek\Velko"
// becomes QSettings("Halvek", "Velko") in its native format
// ($XDG_CONFIG_HOME/Halvek/Velko.conf on Linux). Results are the classic
// error codes, 0 meaning success, so callers read as they always did.

#include <QSettings>
#include <QString>
#include <cstdint>
#include <memory>

namespace ternis {

class RegistryKey {
 public:
  static constexpr int kSuccess = 0;
  static constexpr int kFileNotFound = 2;  // value missing, or not a valid number
  static constexpr int kAccessDenied = 5;  // the file cannot be read
  static constexpr int kMoreData = 234;    // value larger than the caller's buffer

  // Opens (or, on the first write, creates) organisation/application.
  int OpenOrCreate(const QString& organisation, const QString& application);
  int Close();
  bool isOpen() const { return settings_ != nullptr; }
  // True when the file existed but could not be read or parsed.
  bool damaged() const { return damaged_; }

  // A decimal unsigned 32-bit number; anything else counts as missing.
  int ReadNumber(std::uint32_t& number, const QString& name) const;
  // A text of fewer than `buffer_size` bytes (UTF-8, terminator included).
  int ReadText(QString& text, const QString& name, int buffer_size) const;
  int WriteNumber(std::uint32_t number, const QString& name);
  int WriteText(const QString& text, const QString& name);
  // Writes everything out atomically (temporary file, then rename).
  int Flush();

 private:
  std::unique_ptr<QSettings> settings_;
  bool damaged_ = false;
};

}  // namespace ternis
