#include "station_window/slot_table.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>

#include "station/station_texts.h"
#include "station_window/slot_row.h"

namespace ternis {

namespace {

const char* const kColumnTitles[] = {"Slot", "Device", "State", "Covered", "Rate",
                                     "ETA",  "Pass",   "Fail",  "Last result", ""};

QString Elapsed(qint64 ms) {
  const qint64 s = ms / 1000;
  return QStringLiteral("%1:%2:%3")
      .arg(s / 3600)
      .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
      .arg(s % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

SlotTable::SlotTable(Say say, QWidget* parent) : QWidget(parent), say_(std::move(say)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(CreateHeader());
  scroll_ = new QScrollArea(this);
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  auto* rows = new QWidget(scroll_);
  rows->setAutoFillBackground(false);
  rows_layout_ = new QVBoxLayout(rows);
  rows_layout_->setContentsMargins(0, 0, 0, 0);
  rows_layout_->setSpacing(2);
  rows_layout_->addStretch(1);
  scroll_->setWidget(rows);
  scroll_->viewport()->setAutoFillBackground(false);
  layout->addWidget(scroll_, 1);
  layout->addWidget(CreateAdding());
}

QWidget* SlotTable::CreateHeader() {
  auto* header = new QWidget(this);
  auto* layout = new QHBoxLayout(header);
  layout->setContentsMargins(7, 0, 7, 0);
  layout->setSpacing(6);
  for (std::size_t i = 0; i < std::size(kColumnTitles); ++i) {
    auto* title = new QLabel(QString::fromLatin1(kColumnTitles[i]), header);
    title->setStyleSheet(QStringLiteral("color: rgb(96,110,134);"));
    const int width = SlotRow::kColumnWidths[i];
    if (width > 0) title->setFixedWidth(width);
    if (i >= 4 && i <= 7) title->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    layout->addWidget(title, width > 0 ? 0 : 1);
  }
  return header;
}

QWidget* SlotTable::CreateAdding() {
  auto* adding = new QWidget(this);
  auto* layout = new QHBoxLayout(adding);
  layout->setContentsMargins(0, 4, 0, 0);
  layout->addWidget(new QLabel(QStringLiteral("New slot"), adding));
  new_name_ = new QLineEdit(adding);
  new_name_->setPlaceholderText(QStringLiteral("name (optional)"));
  new_name_->setFixedWidth(SlotRow::kColumnWidths[0] + 20);
  new_device_ = new QComboBox(adding);
  new_device_->setEditable(true);
  new_device_->setInsertPolicy(QComboBox::NoInsert);
  new_device_->setMinimumWidth(SlotRow::kColumnWidths[1] + 100);
  new_device_->lineEdit()->setPlaceholderText(QStringLiteral("device"));
  connect(new_device_, &QComboBox::activated, this,
          [this](int index) { new_device_->setEditText(new_device_->itemData(index).toString()); });
  add_ = new QPushButton(QStringLiteral("Add"), adding);
  add_->setAutoDefault(false);
  connect(add_, &QPushButton::clicked, this, &SlotTable::AddFromControls);
  auto* whole_log = new QPushButton(QStringLiteral("Log"), adding);
  whole_log->setAutoDefault(false);
  whole_log->setToolTip(QStringLiteral("Every slot's lines"));
  connect(whole_log, &QPushButton::clicked, this, [this] { emit logAsked(QString()); });
  layout->addWidget(new_name_);
  layout->addWidget(new_device_);
  layout->addWidget(add_);
  layout->addStretch(1);
  layout->addWidget(whole_log);
  return adding;
}

void SlotTable::SetStation(Station* station) {
  station_ = station;
  while (rows_.size() > station->slot_count()) {
    delete rows_.back();
    rows_.pop_back();
  }
  for (std::size_t i = rows_.size(); i < station->slot_count(); ++i) AppendRow(station->spec(i));
}

void SlotTable::SetDevices(const std::vector<SerialDevice>& devices) {
  devices_ = devices;
  FillDeviceChooser(new_device_, devices_);
}

void SlotTable::AppendRow(const SlotSpec& spec) {
  auto* row = new SlotRow(spec, devices_, scroll_->widget());
  rows_layout_->insertWidget(rows_layout_->count() - 1, row);  // above the stretch
  connect(row, &SlotRow::renameAsked, this,
          [this](SlotRow* r, const QString& name) { RenameSlot(RowOf(r), name); });
  connect(row, &SlotRow::deviceAsked, this,
          [this](SlotRow* r, const QString& device) { ChangeDevice(RowOf(r), device); });
  connect(row, &SlotRow::removeAsked, this, [this](SlotRow* r) { RemoveSlot(RowOf(r)); });
  connect(row, &SlotRow::logAsked, this, [this](SlotRow* r) {
    const int index = RowOf(r);
    if (index >= 0) emit logAsked(NameOf(index));
  });
  rows_.push_back(row);
}

bool SlotTable::AddSlot(const SlotSpec& spec, QString& error) {
  std::string why;
  if (!station_->AddSlot(spec, why)) {
    error = QString::fromStdString(why);
    say_(QStringLiteral("slot not added: ") + error, QString());
    return false;
  }
  AppendRow(spec);
  say_(QStringLiteral("slot added on %1").arg(QString::fromStdString(spec.device)),
       QString::fromStdString(spec.name));
  emit changed();
  return true;
}

void SlotTable::AddFromControls() {
  const QString name = new_name_->text().trimmed();
  const QString device = new_device_->currentText().trimmed();
  const SlotSpec spec{(name.isEmpty() ? device : name).toStdString(), device.toStdString()};
  QString error;
  if (AddSlot(spec, error)) {
    new_name_->clear();
    new_device_->setEditText(QString());
    new_device_->setToolTip(QString());
  } else {
    new_device_->setToolTip(error);
  }
}

bool SlotTable::RemoveSlot(int index) {
  if (index < 0 || index >= rowCount()) return false;
  const QString name = NameOf(index);
  std::string error;
  if (!station_->RemoveSlot(static_cast<std::size_t>(index), error)) {
    say_(QString::fromStdString(error), name);
    return false;
  }
  SlotRow* row = rows_[static_cast<std::size_t>(index)];
  row->hide();
  row->deleteLater();  // it may be inside its own button's click
  rows_.erase(rows_.begin() + index);
  say_(QStringLiteral("slot removed"), name);
  emit changed();
  return true;
}

bool SlotTable::RenameSlot(int index, const QString& name) {
  if (index < 0 || index >= rowCount()) return false;
  const QString old_name = NameOf(index);
  const auto slot = static_cast<std::size_t>(index);
  std::string error;
  const bool renamed = station_->RenameSlot(slot, name.toStdString(), error);
  rows_[slot]->ShowSpec(station_->spec(slot));
  if (!renamed) {
    say_(QStringLiteral("not renamed to %1: %2").arg(name, QString::fromStdString(error)), old_name);
    return false;
  }
  say_(QStringLiteral("renamed to %1").arg(name), old_name);
  return true;
}

// The slot keeps its place in the window and its counts.
bool SlotTable::ChangeDevice(int index, const QString& device) {
  if (index < 0 || index >= rowCount()) return false;
  const QString old_name = NameOf(index);
  const auto slot = static_cast<std::size_t>(index);
  std::string error;
  const bool moved = station_->ChangeDevice(slot, device.toStdString(), error);
  rows_[slot]->ShowSpec(station_->spec(slot));
  if (!moved) {
    say_(QStringLiteral("device not changed: ") + QString::fromStdString(error), old_name);
    return false;
  }
  rows_[slot]->ShowDiagnosis(QString());
  say_(QStringLiteral("now on %1").arg(device), NameOf(index));
  emit changed();
  return true;
}

bool SlotTable::Refresh(int half) {
  in_unit_.resize(rows_.size(), false);
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (half != kAllRows && static_cast<int>(i % 2) != half) continue;
    const SlotView view = station_->View(i);
    rows_[i]->Show(view);
    in_unit_[i] = view.in_unit;
  }
  return std::find(in_unit_.begin(), in_unit_.end(), true) != in_unit_.end();
}

void SlotTable::Tell(const StationEvent& event, bool stopping) {
  if (event.kind != StationEvent::Kind::kNotice) return TellUnit(event);
  if (static_cast<int>(event.slot) >= rowCount()) return;
  SlotRow* slot_row = rows_[event.slot];
  if (event.notice.kind == NoticeKind::kCannotOpen && event.diagnosis)
    slot_row->ShowDiagnosis(QString::fromStdString(event.diagnosis->Text()));
  if (event.notice.kind == NoticeKind::kConnected) slot_row->ShowDiagnosis(QString());
  if (const auto line = NoticeLine(event, stopping)) say_(QString::fromStdString(*line), NameOf(static_cast<int>(event.slot)));
}

void SlotTable::TellUnit(const StationEvent& event) {
  const bool shown = static_cast<int>(event.slot) < rowCount();
  const QString name =
      shown ? NameOf(static_cast<int>(event.slot)) : QString::fromStdString(event.record.slot);
  const UnitResult& result = event.record.result;
  say_(QString::fromStdString(DescribeUnit(result, &event.record.image)), name);
  tally_.Count(result.outcome);
  if (shown) rows_[event.slot]->ShowResult(event.record, event.error);
  emit unitShown(name, QString::fromStdString(ResultText(result)));
}

QString SlotTable::TotalsText(qint64 elapsed_ms) const {
  const auto in_progress = std::count(in_unit_.begin(), in_unit_.end(), true);
  return QStringLiteral("%1 passed \u00b7 %2 failed \u00b7 %3 in progress \u00b7 %4")
      .arg(tally_.passed)
      .arg(tally_.failed)
      .arg(in_progress)
      .arg(Elapsed(elapsed_ms));
}

int SlotTable::RowOf(const SlotRow* widget) const {
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i] == widget) return static_cast<int>(i);
  return -1;
}

QString SlotTable::NameOf(int row) const {
  return QString::fromStdString(station_->spec(static_cast<std::size_t>(row)).name);
}

}  // namespace ternis
