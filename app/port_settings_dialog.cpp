#include "app/port_settings_dialog.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QRegularExpressionValidator>
#include <QSerialPortInfo>
#include <algorithm>

#include "app/dialog_units.h"
#include "app/enter_key.h"
#include "app/link_control.h"
#include "app/settings_store.h"
#include "link/line_settings.h"

namespace ternis {

namespace {

const char* const kBaudTexts[15] = {"110 ",  "300 ",  "600 ",   "1200",   "2400",
                                    "4800",  "9600",  "14400",  "19200",  "38400",
                                    "56000", "57600", "115200", "128000", "256000"};
const char* const kParityTexts[5] = {"EVEN", "MARK", "NONE", "ODD", "SPACE"};
const char* const kStopTexts[3] = {"1", "1.5", "2"};

QLabel* Label(const QString& text, QWidget* parent, QRect geometry) {
  auto* label = new QLabel(text, parent);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  label->setGeometry(geometry);
  return label;
}

// A drop-down list with an edit field; typing never adds an entry.
QComboBox* List(QWidget* parent, int id, const char* const* texts, int count, QRect geometry) {
  auto* list = new QComboBox(parent);
  list->setObjectName(QString::number(id));
  list->setEditable(true);
  list->setInsertPolicy(QComboBox::NoInsert);
  for (int i = 0; i < count; ++i) list->addItem(QString::fromLatin1(texts[i]));
  list->setGeometry(geometry.x(), geometry.y(), geometry.width(), DuToPixelsY(14));
  return list;
}

template <typename Control>
Control* Named(Control* control, int id) {
  control->setObjectName(QString::number(id));
  return control;
}

}  // namespace

int NamedEntry(const QComboBox& list) {
  const QString typed = list.currentText().trimmed();
  for (int i = 0; i < list.count(); ++i) {
    if (list.itemText(i).trimmed().compare(typed, Qt::CaseInsensitive) == 0) return i;
  }
  return -1;
}

std::uint32_t LeadingNumber(const QString& text) {
  const QString head = text.left(9);
  std::uint32_t value = 0;
  for (QChar c : head) {
    if (!c.isDigit() || c.unicode() > '9') break;
    value = value * 10 + static_cast<std::uint32_t>(c.unicode() - '0');
  }
  return value;
}

PortSettingsDialog::PortSettingsDialog(SettingsStore& settings, LinkControl& link, QWidget* parent)
    : QDialog(parent), settings_(settings), link_(link) {
  CreateControls();
  ShowStoredValues();
}

void PortSettingsDialog::CreateControls() {
  setObjectName(QString::number(kIdPanel));
  setWindowTitle(QString());
  setFixedSize(DuToPixelsX(226), DuToPixelsY(64));
  auto* frame = new QGroupBox(QStringLiteral("COM Port"), this);
  frame->setGeometry(DuRect(0, 0, 188, 62));
  Label(QStringLiteral("Data"), this, DuRect(10, 27, 15, 14));
  data_ = Named(new QLineEdit(this), kIdDataBits);
  data_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d*")), data_));
  data_->setGeometry(DuRect(30, 28, 18, 14));
  Label(QStringLiteral("Parity"), this, DuRect(54, 28, 18, 12));
  parity_ = List(this, kIdParity, kParityTexts, 5, DuRect(74, 28, 42, 43));
  Label(QStringLiteral("Stop"), this, DuRect(122, 27, 16, 12));
  stop_ = List(this, kIdStop, kStopTexts, 3, DuRect(141, 28, 44, 45));
  baud_ = List(this, kIdBaud, kBaudTexts, 15, DuRect(107, 12, 73, 67));
  Label(QStringLiteral("Baud"), this, DuRect(85, 12, 17, 12));
  com1_ = Named(new QRadioButton(QStringLiteral("COM1"), this), kIdCom1);
  com1_->setGeometry(DuRect(9, 12, 30, 12));
  com2_ = Named(new QRadioButton(QStringLiteral("COM2"), this), kIdCom2);
  com2_->setGeometry(DuRect(42, 12, 30, 12));
  ports_.addButton(com1_, 0);
  ports_.addButton(com2_, 1);
  // The device behind the checked COM name: detected ports, or a typed path.
  Label(QStringLiteral("Device"), this, DuRect(10, 45, 28, 12));
  device_ = new QComboBox(this);
  device_->setEditable(true);
  device_->setGeometry(DuToPixelsX(40), DuToPixelsY(45), DuToPixelsX(145), DuToPixelsY(14));
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    const QString description =
        info.description().isEmpty() ? info.manufacturer() : info.description();
    device_->addItem(
        info.systemLocation() +
            (description.isEmpty() ? QString() : QStringLiteral("  (") + description + ")"),
        info.systemLocation());
  }
  apply_ = Named(new QPushButton(QStringLiteral("&Apply"), this), kIdApply);
  apply_->setGeometry(DuRect(190, 7, 34, 14));
  close_ = Named(new QPushButton(QStringLiteral("Close"), this), kIdClose);
  close_->setGeometry(DuRect(190, 24, 34, 14));
  // No default button: keyPressEvent decides what Enter does.
  for (QPushButton* button : {apply_, close_}) button->setAutoDefault(false);

  connect(com1_, &QRadioButton::clicked, this, [this] {
    ShowDeviceOfCheckedPort();
    EnableApply();
  });
  connect(com2_, &QRadioButton::clicked, this, [this] {
    ShowDeviceOfCheckedPort();
    EnableApply();
  });
  for (QComboBox* list : {baud_, parity_, stop_}) {
    connect(list, &QComboBox::currentIndexChanged, this, &PortSettingsDialog::EnableApply);
    connect(list, &QComboBox::editTextChanged, this, &PortSettingsDialog::EnableApply);
  }
  connect(data_, &QLineEdit::textChanged, this, &PortSettingsDialog::EnableApply);
  connect(device_, &QComboBox::currentTextChanged, this, &PortSettingsDialog::EnableApply);
  connect(apply_, &QPushButton::clicked, this, &PortSettingsDialog::Apply);
  connect(close_, &QPushButton::clicked, this, &QDialog::accept);
}

// Enter on Apply or Close clicks it; anywhere else it closes the panel.
void PortSettingsDialog::keyPressEvent(QKeyEvent* event) {
  if (IsEnterKey(event)) {
    if (!ClickFocusedPushButton(focusWidget())) accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

// The title bar's close button is the Close command.
void PortSettingsDialog::closeEvent(QCloseEvent* event) {
  accept();
  event->accept();
}

void PortSettingsDialog::ShowStoredValues() {
  if (settings_.Port == 0) com1_->setChecked(true);
  if (settings_.Port == 1) com2_->setChecked(true);
  ShowStoredLists();
  data_->setText(QString::number(settings_.Data));
  ShowDeviceOfCheckedPort();
  apply_->setEnabled(true);
}

void PortSettingsDialog::ShowStoredLists() {
  // The first entry that begins with the stored rate, ignoring case.
  baud_->setCurrentIndex(baud_->findText(QString::number(settings_.Baudrate), Qt::MatchStartsWith));
  const auto parity = std::find(kParityTable.begin(), kParityTable.end(), settings_.Parity);
  parity_->setCurrentIndex(
      parity == kParityTable.end() ? -1 : static_cast<int>(parity - kParityTable.begin()));
  stop_->setCurrentIndex(settings_.Stop <= 2 ? static_cast<int>(settings_.Stop) : -1);
}

std::uint32_t PortSettingsDialog::ChosenPort() const {
  if (com1_->isChecked()) return 0;
  if (com2_->isChecked()) return 1;
  return settings_.Port;  // neither checked: keep the stored port
}

void PortSettingsDialog::ShowDeviceOfCheckedPort() {
  const QString* stored = settings_.DeviceSlot(ChosenPort());
  const QString device = stored ? *stored : QString();
  const QSignalBlocker quiet(device_);
  device_->setEditText(device);
  device_->setEnabled(ChosenPort() <= 1);
}

bool PortSettingsDialog::Apply() {
  // A field without a choice, or whose edit field names no entry, keeps
  // its stored value.
  const std::uint32_t port = ChosenPort();
  const int baud_entry = NamedEntry(*baud_);
  const int parity_entry = NamedEntry(*parity_);
  const int stop_entry = NamedEntry(*stop_);
  const std::uint32_t baud = baud_entry >= 0 ? kBaudRates[baud_entry] : settings_.Baudrate;
  const std::uint32_t parity = parity_entry >= 0 ? kParityTable[parity_entry] : settings_.Parity;
  const std::uint32_t stop =
      stop_entry >= 0 ? static_cast<std::uint32_t>(stop_entry) : settings_.Stop;
  const std::uint32_t data = LeadingNumber(data_->text());
  // A detected port carries its path; anything else is a typed path.
  const bool picked = device_->currentIndex() >= 0 &&
                      device_->currentText() == device_->itemText(device_->currentIndex());
  const QString device =
      picked ? device_->currentData().toString() : device_->currentText().trimmed();

  // Try the new device behind the COM name; put the old one back on failure.
  QString* slot = settings_.DeviceSlot(port);
  const QString old_device = slot ? *slot : QString();
  const bool device_changed = slot && device != old_device;
  if (device_changed) {
    *slot = device;
    link_.ForgetPort();  // same COM name, other device: reopen
  }
  link_.ApplyDeviceTable();
  const bool connected =
      link_.ConnectPort(static_cast<std::uint8_t>(port), baud, static_cast<std::uint8_t>(data),
                        static_cast<std::uint8_t>(parity), static_cast<std::uint8_t>(stop));
  if (!connected) {
    if (device_changed) *slot = old_device;
    link_.ApplyDeviceTable();
    apply_->setEnabled(true);
    return false;
  }
  settings_.Port = port;
  settings_.Baudrate = baud;
  settings_.Parity = parity;
  settings_.Stop = stop;
  settings_.Data = data;
  ShowStoredLists();  // a typed text that named no entry shows what is in force
  apply_->setEnabled(false);
  return true;
}

}  // namespace ternis
