#include "app/file_selection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

#include "app/file_kind.h"
#include "app/settings_store.h"
#include "station/box_session.h"
#include "station/key_file_check.h"

namespace ternis {

FileSelection::FileSelection(SettingsStore& settings, BoxSession& session, Log log)
    : settings_(settings), session_(session), log_(std::move(log)) {}

FileSelection::Result FileSelection::Select(std::uint32_t kind, const QString& given) {
  QString* stored = nullptr;
  const char* prefix = "";
  switch (kind) {
    case M_KEY_FILE:
      stored = &settings_.M_KEY, prefix = "M KEY file selected : ";
      break;
    case D_KEY_FILE:
      stored = &settings_.D_KEY, prefix = "D KEY file selected ";
      break;
    case C_KEY_FILE:
      stored = &settings_.C_KEY, prefix = "C KEY file selected : ";
      break;
    case FIRMWARE_FILE:
      stored = &settings_.Firmware, prefix = "FIRMWARE file selected : ";
      break;
    default:
      break;
  }
  Result result;
  QString& path = result.path = given;
  bool loaded = false;
  if (stored) {
    if (path.isEmpty()) path = *stored;
    // M, D and C key files are secrets: kept out of core dumps and swap.
    loaded = session_.LoadImageFile(path.toStdString(), kind != FIRMWARE_FILE);
    if (loaded) *stored = path;
  }
  const QStringList warnings = WarnAboutKeyFile(kind, loaded ? path : QString());
  if (!path.isEmpty()) {
    // The loaded bytes are what the box gets; the file may change after.
    const auto image = session_.engine().image().Acquire();
    const qint64 size =
        loaded && image ? static_cast<qint64>(image->contents().size()) : QueryFileLength(path);
    log_(prefix + ("; " + path.toLocal8Bit().toStdString()) + " sized " + std::to_string(size));
  }
  if (stored) {
    result.known_kind = true;
    result.identity = IdentifyServedFile(loaded ? path : QString());
    if (const ImageIdentity* identity = result.identity)
      result.notes << QStringLiteral("%1 bytes, SHA-256 %2")
                          .arg(identity->size)
                          .arg(QString::fromStdString(identity->sha256));
  }
  result.notes += warnings;
  return result;
}

const ImageIdentity* FileSelection::IdentityOf(std::uint64_t image_id) const {
  return identities_.Find(image_id);
}

QStringList FileSelection::WarnAboutKeyFile(std::uint32_t kind, const QString& path) {
  QStringList warnings;
  if (kind != FIRMWARE_FILE && !path.isEmpty()) {
    for (const std::string& warning : KeyFileWarnings(path.toStdString())) {
      log_("warning: " + warning);
      warnings << QString::fromStdString(warning);
    }
  }
  return warnings;
}

const ImageIdentity* FileSelection::IdentifyServedFile(const QString& path) {
  const auto image = session_.engine().image().Acquire();
  if (!image) return nullptr;
  const ImageIdentity& identity = identities_.Remember(*image, path.toStdString());
  log_(path.toLocal8Bit().toStdString() + ": sha256 " + identity.sha256);
  return &identity;
}

// Never opens the file: opening a FIFO for reading would wait for a writer.
qint64 FileSelection::QueryFileLength(const QString& path) {
  struct stat st {};
  const QByteArray name = QFile::encodeName(path);
  if (::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return ::access(name.constData(), R_OK) == 0 ? static_cast<qint64>(st.st_size) : 0;
}

}  // namespace ternis
