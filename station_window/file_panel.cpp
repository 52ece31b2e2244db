#include "station_window/file_panel.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/file_kind.h"
#include "app/window_texts.h"
#include "controls/skin.h"
#include "controls/skin_button.h"

namespace ternis {

namespace {

QString DefaultFileChooser(QWidget* parent, const QString& title) {
  QFileDialog dialog(parent, title);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.selectedFiles().value(0);
}

// A folder, picked or typed, or a database shared with other stations.
QString DefaultPoolChooser(QWidget* parent, const QString& title) {
  QDialog dialog(parent);
  dialog.setWindowTitle(title);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(new QLabel(
      QStringLiteral("A folder of key files, or a PostgreSQL pool shared with other stations:"),
      &dialog));
  auto* row = new QHBoxLayout;
  auto* where = new QLineEdit(&dialog);
  where->setPlaceholderText(QStringLiteral("/path/to/pool  or  postgresql://host/db"));
  where->setMinimumWidth(360);
  auto* folder = new QPushButton(QStringLiteral("Folder\u2026"), &dialog);
  QObject::connect(folder, &QPushButton::clicked, &dialog, [&dialog, where] {
    const QString dir = QFileDialog::getExistingDirectory(&dialog, QStringLiteral("Key pool"));
    if (!dir.isEmpty()) where->setText(dir);
  });
  row->addWidget(where, 1);
  row->addWidget(folder);
  layout->addLayout(row);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  layout->addWidget(buttons);
  if (dialog.exec() != QDialog::Accepted) return {};
  return where->text().trimmed();
}

}  // namespace

FilePanel::FilePanel(QWidget* parent)
    : QWidget(parent), choose_file_(DefaultFileChooser), choose_pool_(DefaultPoolChooser) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  for (int i = 0; i < 4; ++i) {
    kinds_[i] = new SkinButton(SkinButton::Kind::Radio, this);
    kinds_[i]->setText(QString::fromLatin1(kFileKinds[i].caption));
    kinds_[i]->setFixedSize(95, 25);
    kinds_[i]->SetBitmaps(skin::IDB_KIND_NORMAL, skin::IDB_KIND_PRESSED, skin::IDB_KIND_HOVER, 0,
                          0, 0, SkinButton::Plain, 0, 4);
    kinds_[i]->setFocusPolicy(Qt::ClickFocus);
    connect(kinds_[i], &QAbstractButton::clicked, this,
            [this, i] { emit kindChosen(kFileKinds[i].kind); });
    layout->addWidget(kinds_[i]);
  }
  layout->addSpacing(8);
  path_box_ = new QLineEdit(this);
  path_box_->setReadOnly(true);
  path_box_->setPlaceholderText(QStringLiteral("Choose a file, or drop one on the window"));
  layout->addWidget(path_box_, 1);
  auto* choose = new QPushButton(QStringLiteral("..."), this);
  choose->setFixedWidth(32);
  choose->setAutoDefault(false);
  connect(choose, &QPushButton::clicked, this, [this] {
    const QString path = choose_file_(this, QStringLiteral("The file for every slot"));
    if (!path.isEmpty()) emit fileChosen(path);
  });
  layout->addWidget(choose);
  key_pool_button_ = new QPushButton(QStringLiteral("Key pool\u2026"), this);
  key_pool_button_->setAutoDefault(false);
  key_pool_button_->setToolTip(
      QStringLiteral("A folder of key files, or a postgresql:// pool shared with other "
                     "stations: each box gets a key of its own, never twice"));
  connect(key_pool_button_, &QPushButton::clicked, this, [this] {
    const QString pool =
        choose_pool_(this, QStringLiteral("The key pool: a folder of key files or a database"));
    if (!pool.isEmpty()) emit keyPoolChosen(pool);
  });
  layout->addWidget(key_pool_button_);
  identity_ = new QLabel(this);
  identity_->setMinimumWidth(230);
  layout->addWidget(identity_);
}

void FilePanel::CheckKind(std::uint32_t kind, bool pool) {
  for (int i = 0; i < 4; ++i) kinds_[i]->SetCheck(!pool && kFileKinds[i].kind == kind ? 1 : 0);
}

void FilePanel::ShowPath(const QString& path, const QString& tip) {
  path_box_->setText(path);
  path_box_->setToolTip(tip);
}

void FilePanel::ShowIdentity(const ImageIdentity& identity) {
  identity_->setText(DescribeIdentity(identity));
  identity_->setToolTip(QString::fromStdString(identity.path + "\nSHA-256 " + identity.sha256));
  identity_->setStyleSheet(QString());
}

void FilePanel::ShowKeys(const KeyPoolCounts& counts, const QString& pool) {
  identity_->setText(QStringLiteral("Keys: %1 left \u00b7 %2 used \u00b7 %3 spoiled")
                         .arg(counts.ready)
                         .arg(counts.used)
                         .arg(counts.spoiled));
  identity_->setToolTip(
      QStringLiteral("Key pool %1\n%2 issued to units in progress").arg(pool).arg(counts.issued));
  identity_->setStyleSheet(counts.ready == 0 ? QStringLiteral("color: rgb(196,32,32);")
                                             : QString());
}

void FilePanel::ShowNothingServed(const QString& why) {
  identity_->setText(QStringLiteral("no file served"));
  identity_->setToolTip(why);
  identity_->setStyleSheet(QStringLiteral("color: rgb(196,32,32);"));
}

void FilePanel::SetBusy(bool busy) {
  for (SkinButton* kind : kinds_) kind->setEnabled(!busy);
  key_pool_button_->setEnabled(!busy);
}

}  // namespace ternis
