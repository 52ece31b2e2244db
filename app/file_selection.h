#pragma once
// The window's file of a kind: the given path or the stored one, loaded into
// the session and stored when it loads, and what is told of it: the log
// lines, the size and SHA-256 of the bytes served, the warnings about a key
// file that is not private. Every image loaded is remembered by its snapshot
// id, so a unit can name the one it received.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "station/image_identities.h"
#include "station/unit_record.h"

namespace ternis {

class BoxSession;
class SettingsStore;

class FileSelection {
 public:
  using Log = std::function<void(const std::string& line)>;

  struct Result {
    QString path;                             // shown, whether it loaded or not
    bool known_kind = false;                  // one of the four file kinds
    const ImageIdentity* identity = nullptr;  // the bytes served, if any
    QStringList notes;                        // identity and warnings, for the tooltip
  };

  FileSelection(SettingsStore& settings, BoxSession& session, Log log);

  Result Select(std::uint32_t kind, const QString& path);
  const ImageIdentity* IdentityOf(std::uint64_t image_id) const;
  // The size of a file, 0 when it cannot be opened.
  static qint64 QueryFileLength(const QString& path);

 private:
  // The log says when a key file is not private; the warnings are returned
  // for the path box's tooltip.
  QStringList WarnAboutKeyFile(std::uint32_t kind, const QString& path);
  // Remembers the identity of the image just loaded.
  const ImageIdentity* IdentifyServedFile(const QString& path);

  SettingsStore& settings_;
  BoxSession& session_;
  Log log_;
  ImageIdentities identities_;
};

}  // namespace ternis
