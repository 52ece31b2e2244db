#include "station_window/line_panel.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace ternis {

namespace {

const char* const kParityNames[5] = {"NONE", "ODD", "EVEN", "MARK", "SPACE"};  // by code

QComboBox* List(QWidget* parent, const QStringList& texts, const QList<int>& codes) {
  auto* list = new QComboBox(parent);
  for (int i = 0; i < texts.size(); ++i) list->addItem(texts[i], codes[i]);
  return list;
}

}  // namespace

LinePanel::LinePanel(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  QStringList bauds;
  QList<int> baud_codes;
  for (std::uint32_t baud : kBaudRates) {
    bauds << QString::number(baud);
    baud_codes << static_cast<int>(baud);
  }
  baud_ = List(this, bauds, baud_codes);
  data_ = List(this, {"5", "6", "7", "8"}, {5, 6, 7, 8});
  QStringList parities;
  for (const char* name : kParityNames) parities << QString::fromLatin1(name);
  parity_ = List(this, parities, {kParityNone, kParityOdd, kParityEven, kParityMark, kParitySpace});
  stop_ = List(this, {"1", "2"}, {kStopOne, kStopTwo});  // 1.5: termios cannot set it
  const std::pair<const char*, QComboBox*> fields[] = {
      {"Baud", baud_}, {"Data", data_}, {"Parity", parity_}, {"Stop", stop_}};
  for (const auto& [caption, list] : fields) {
    layout->addWidget(new QLabel(QString::fromLatin1(caption), this));
    layout->addWidget(list);
    connect(list, &QComboBox::activated, this, [this] { apply_->setEnabled(true); });
  }
  apply_ = new QPushButton(QStringLiteral("Apply"), this);
  apply_->setAutoDefault(false);
  apply_->setEnabled(false);
  apply_->setToolTip(QStringLiteral("Reopens every port with these settings; only while no "
                                    "unit is in progress"));
  connect(apply_, &QPushButton::clicked, this, [this] { emit lineApplied(LineFromControls()); });
  layout->addWidget(apply_);
  layout->addSpacing(16);
  layout->addWidget(new QLabel(QStringLiteral("Records"), this));
  record_box_ = new QLineEdit(this);
  record_box_->setPlaceholderText(QStringLiteral("none: units are not recorded"));
  record_box_->setToolTip(
      QStringLiteral("A file (one JSON line a unit), or postgresql://... shared with other "
                     "stations"));
  connect(record_box_, &QLineEdit::editingFinished, this, [this] {
    if (record_box_->text() != record_) emit recordChosen(record_box_->text());
  });
  layout->addWidget(record_box_, 1);
  auto* choose = new QPushButton(QStringLiteral("..."), this);
  choose->setFixedWidth(32);
  choose->setAutoDefault(false);
  connect(choose, &QPushButton::clicked, this, &LinePanel::ChooseRecordFile);
  layout->addWidget(choose);
}

void LinePanel::ShowLine(const LineSettings& line) {
  if (baud_->findData(static_cast<int>(line.baud)) < 0)
    baud_->addItem(QString::number(line.baud), static_cast<int>(line.baud));
  baud_->setCurrentIndex(baud_->findData(static_cast<int>(line.baud)));
  data_->setCurrentIndex(data_->findData(line.data_bits));
  parity_->setCurrentIndex(parity_->findData(line.parity));
  stop_->setCurrentIndex(stop_->findData(line.stop_bits));
  apply_->setEnabled(false);
}

void LinePanel::ShowRecord(const QString& record) {
  record_ = record;
  record_box_->setText(record);
}

LineSettings LinePanel::LineFromControls() const {
  LineSettings line;
  line.baud = static_cast<std::uint32_t>(baud_->currentData().toInt());
  line.data_bits = static_cast<std::uint8_t>(data_->currentData().toInt());
  line.parity = static_cast<std::uint8_t>(parity_->currentData().toInt());
  line.stop_bits = static_cast<std::uint8_t>(stop_->currentData().toInt());
  return line;
}

void LinePanel::ChooseRecordFile() {
  QFileDialog dialog(this, QStringLiteral("The record file"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setOption(QFileDialog::DontConfirmOverwrite);  // records are appended
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
    emit recordChosen(dialog.selectedFiles().first());
}

}  // namespace ternis
