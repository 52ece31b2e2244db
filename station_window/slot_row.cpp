#include "station_window/slot_row.h"

#include <QPalette>

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <cmath>

#include "controls/percent_progress_ctrl.h"
#include "station/station_texts.h"

namespace ternis {

namespace {

constexpr Colorref kBarPlain = Rgb(58, 140, 220);
constexpr Colorref kBarPass = Rgb(36, 160, 72);
constexpr Colorref kBarFail = Rgb(214, 40, 40);

// QLabel repaints on every setText; most refreshes change nothing.
void SetText(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
}

QLabel* Cell(QWidget* parent, int width, Qt::Alignment alignment = Qt::AlignLeft) {
  auto* label = new QLabel(parent);
  label->setAlignment(alignment | Qt::AlignVCenter);
  if (width > 0) label->setFixedWidth(width);
  return label;
}

QString StablePathLabel(const std::string& path, const SerialDevice& device) {
  QString text = QString::fromStdString(path);
  const std::string& what = device.product.empty() ? device.driver : device.product;
  if (!what.empty()) text += QStringLiteral("  (") + QString::fromStdString(what) + ')';
  return text;
}

}  // namespace

QString StateText(SlotState state) {
  switch (state) {
    case SlotState::kPassed:
      return QStringLiteral("PASS");
    case SlotState::kFailed:
      return QStringLiteral("FAIL");
    case SlotState::kAborted:
      return QStringLiteral("ABORTED");
    default:
      return QString::fromLatin1(SlotStateName(state));
  }
}

QString RateText(double bytes_per_second) {
  if (bytes_per_second < 1) return {};
  // Two or three figures: a rate that jitters in its last digit would
  // repaint its label at every refresh.
  if (bytes_per_second >= 1e6) return QStringLiteral("%1 MB/s").arg(bytes_per_second / 1e6, 0, 'f', 1);
  if (bytes_per_second >= 1e5)
    return QStringLiteral("%1 KB/s").arg(std::lround(bytes_per_second / 1e4) * 10);
  return QStringLiteral("%1 KB/s").arg(std::lround(bytes_per_second / 1e3));
}

QString EtaText(std::optional<double> seconds) {
  if (!seconds || !std::isfinite(*seconds) || *seconds < 0) return {};
  const long s = std::lround(std::ceil(*seconds));
  if (s < 60) return QStringLiteral("%1 s").arg(s);
  return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

SlotRow::SlotRow(const SlotSpec& spec, const std::vector<SerialDevice>& devices, QWidget* parent)
    : QFrame(parent), spec_(spec) {
  CreateControls();
  SetDevices(devices);
  ShowSpec(spec);
  ShowCounts();
}

void SlotRow::CreateControls() {
  setFrameShape(QFrame::StyledPanel);
  setObjectName(QStringLiteral("slotRow"));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(6, 3, 6, 3);
  layout->setSpacing(6);
  const auto* w = kColumnWidths;

  name_ = new QLineEdit(this);
  name_->setFixedWidth(w[0]);
  name_->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("[A-Za-z0-9._-]+")), name_));
  name_->setToolTip(QStringLiteral("The slot's name in the log and the records"));
  connect(name_, &QLineEdit::editingFinished, this, &SlotRow::OnNameEdited);

  device_ = new QComboBox(this);
  device_->setEditable(true);
  device_->setInsertPolicy(QComboBox::NoInsert);
  device_->setFixedWidth(w[1]);
  connect(device_, &QComboBox::activated, this, [this](int index) {
    const QString path = device_->itemData(index).toString();
    device_->setEditText(path);
    OnDeviceEdited();
  });
  connect(device_->lineEdit(), &QLineEdit::editingFinished, this, &SlotRow::OnDeviceEdited);

  state_ = Cell(this, w[2]);
  progress_ = new PercentProgressCtrl(this);
  progress_->SetPaintDeferred(true);  // sixteen rows, one paint
  progress_->setFixedSize(w[3], 16);
  progress_->SetRange32(0, 100);
  progress_->SetBarColor(kBarPlain);
  progress_->SetBkColor(Rgb(255, 255, 255));
  rate_ = Cell(this, w[4], Qt::AlignRight);
  eta_ = Cell(this, w[5], Qt::AlignRight);
  passed_label_ = Cell(this, w[6], Qt::AlignRight);
  failed_label_ = Cell(this, w[7], Qt::AlignRight);
  result_ = Cell(this, 0);
  result_->setMinimumWidth(120);
  result_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

  log_ = new QToolButton(this);
  log_->setText(QStringLiteral("Log"));
  log_->setToolTip(QStringLiteral("This slot's lines of the log"));
  connect(log_, &QToolButton::clicked, this, [this] { emit logAsked(this); });
  remove_ = new QToolButton(this);
  remove_->setText(QStringLiteral("\u2715"));
  remove_->setToolTip(QStringLiteral("Remove this slot (only while no unit is in progress)"));
  connect(remove_, &QToolButton::clicked, this, [this] { emit removeAsked(this); });

  for (QWidget* cell : std::initializer_list<QWidget*>{name_, device_, state_, progress_, rate_,
                                                       eta_, passed_label_, failed_label_})
    layout->addWidget(cell);
  layout->addWidget(result_, 1);
  layout->addWidget(log_);
  layout->addWidget(remove_);
  FixCellHeights(layout);
}

// The row's height for good on the cells that change while a unit runs: a
// label of fixed size takes a new text without laying out its row, and the
// rows' container, again; sixteen rows change thirty times a second.
void SlotRow::FixCellHeights(const QLayout* layout) {
  const QMargins margins = layout->contentsMargins();
  const int height = layout->sizeHint().height() - margins.top() - margins.bottom();
  for (QLabel* cell : {state_, rate_, eta_, passed_label_, failed_label_})
    cell->setFixedHeight(height);
}

void FillDeviceChooser(QComboBox* chooser, const std::vector<SerialDevice>& devices) {
  const QString typed = chooser->currentText();
  const QSignalBlocker quiet(chooser);
  chooser->clear();
  // The stable names first: a by-path name is the hub's port, right for a station.
  for (const SerialDevice& device : devices) {
    for (const std::string& path : device.by_path)
      chooser->addItem(StablePathLabel(path, device), QString::fromStdString(path));
    for (const std::string& path : device.by_id)
      chooser->addItem(StablePathLabel(path, device), QString::fromStdString(path));
    chooser->addItem(StablePathLabel(device.node, device), QString::fromStdString(device.node));
  }
  chooser->setCurrentIndex(-1);
  chooser->setEditText(typed);
}

void SlotRow::SetDevices(const std::vector<SerialDevice>& devices) {
  FillDeviceChooser(device_, devices);
}

void SlotRow::ShowSpec(const SlotSpec& spec) {
  spec_ = spec;
  name_->setText(QString::fromStdString(spec.name));
  const QSignalBlocker quiet(device_);
  device_->setEditText(QString::fromStdString(spec.device));
}

void SlotRow::OnNameEdited() {
  const QString name = name_->text();
  if (name.toStdString() != spec_.name) emit renameAsked(this, name);
}

void SlotRow::OnDeviceEdited() {
  const QString device = device_->currentText().trimmed();
  if (device.toStdString() != spec_.device) emit deviceAsked(this, device);
}

void SlotRow::SetIdle(bool idle) {
  if (name_->isReadOnly() == !idle) return;
  name_->setReadOnly(!idle);
  device_->setEnabled(idle);
  remove_->setEnabled(idle);
}

void SlotRow::Show(const SlotView& view) {
  const SessionSnapshot& s = view.snapshot;
  SetText(state_, StateText(s.state));
  // A failed unit keeps the part it covered; a new one starts from nothing.
  const bool in_unit = view.in_unit;
  const int outcome = in_unit || !s.last_result ? -1 : static_cast<int>(s.last_result->outcome);
  if (outcome != shown_outcome_) {
    shown_outcome_ = outcome;
    progress_->SetBarColor(outcome == static_cast<int>(UnitOutcome::kPass)   ? kBarPass
                           : outcome == -1                                    ? kBarPlain
                                                                              : kBarFail);
  }
  progress_->SetPos(in_unit || s.last_result ? s.percent : 0);
  SetText(rate_, in_unit ? RateText(view.bytes_per_second) : QString());
  SetText(eta_, in_unit ? EtaText(view.eta_seconds) : QString());
  SetIdle(!in_unit);
}

void SlotRow::ShowResult(const UnitRecord& record, const std::string& record_error) {
  const UnitResult& r = record.result;
  tally_.Count(r.outcome);
  ShowCounts();
  QString text = QString::fromStdString(ResultText(r));
  if (!record_error.empty()) text += QStringLiteral(" \u2014 NOT RECORDED");
  result_->setText(text);
  // A palette, not a style sheet: sixteen rows re-polished at once held
  // the window for tens of milliseconds.
  QPalette palette = result_->palette();
  palette.setColor(QPalette::WindowText, r.outcome == UnitOutcome::kPass && record_error.empty()
                                             ? QColor(24, 128, 56)
                                             : QColor(196, 32, 32));
  result_->setPalette(palette);
  result_tip_ = QString::fromStdString(DescribeResult(r) + "\n" + record.image.path + "\nSHA-256 " +
                                       record.image.sha256);
  if (!record_error.empty()) result_tip_ += '\n' + QString::fromStdString(record_error);
  ShowTip();
}

void SlotRow::ShowDiagnosis(const QString& text) {
  if (diagnosis_ == text) return;
  diagnosis_ = text;
  ShowTip();
}

// The port's trouble first: it is what the operator has to act on.
void SlotRow::ShowTip() {
  QStringList parts;
  if (!diagnosis_.isEmpty()) parts << diagnosis_;
  if (!result_tip_.isEmpty()) parts << result_tip_;
  setToolTip(parts.join(QStringLiteral("\n\n")));
  result_->setToolTip(result_tip_);
}

void SlotRow::ShowCounts() {
  SetText(passed_label_, QString::number(tally_.passed));
  SetText(failed_label_, QString::number(tally_.failed));
}

}  // namespace ternis
