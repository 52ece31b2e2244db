#pragma once
// The station window's file panel: a button for each file kind, the path
// served, a chooser, the "Key pool…" choice (a folder of key files or a
// postgresql:// URI) and what is served: the file's size and SHA-256, or
// the keys left. It only shows and asks; the window changes the station.

#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>

#include "station/key_source.h"
#include "station/unit_record.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace ternis {

class SkinButton;

class FilePanel : public QWidget {
  Q_OBJECT

 public:
  // Returns the chosen path (or URI), or an empty one when cancelled (tests replace it).
  using Chooser = std::function<QString(QWidget* parent, const QString& title)>;

  explicit FilePanel(QWidget* parent = nullptr);

  void setFileChooser(Chooser chooser) { choose_file_ = std::move(chooser); }
  void setKeyPoolChooser(Chooser chooser) { choose_pool_ = std::move(chooser); }

  // `kind`'s button checked; none while a key pool serves.
  void CheckKind(std::uint32_t kind, bool pool);
  void ShowPath(const QString& path, const QString& tip = QString());
  void ShowIdentity(const ImageIdentity& identity);
  void ShowKeys(const KeyPoolCounts& counts, const QString& pool);
  void ShowNothingServed(const QString& why);
  // The file is changed only while no unit is in progress.
  void SetBusy(bool busy);

  SkinButton* kindButton(int i) const { return kinds_[static_cast<std::size_t>(i)]; }
  QLineEdit* pathBox() const { return path_box_; }
  QLabel* identityLabel() const { return identity_; }
  QPushButton* keyPoolButton() const { return key_pool_button_; }

 signals:
  void kindChosen(std::uint32_t kind);
  void fileChosen(const QString& path);
  void keyPoolChosen(const QString& pool);

 private:
  std::array<SkinButton*, 4> kinds_{};
  QLineEdit* path_box_ = nullptr;
  QPushButton* key_pool_button_ = nullptr;
  QLabel* identity_ = nullptr;
  Chooser choose_file_;
  Chooser choose_pool_;
};

}  // namespace ternis
