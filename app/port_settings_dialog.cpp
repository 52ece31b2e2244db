#include "app/port_settings_dialog.h"

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QRegularExpressionValidator>
#include <QSerialPortInfo>

#include "app/dialog_units.h"
#include "app/enter_key.h"
#include "app/link_control.h"
#include "app/settings_store.h"

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

QComboBox* List(QWidget* parent, const char* const* texts, int count, QRect geometry) {
  auto* list = new QComboBox(parent);
  for (int i = 0; i < count; ++i) list->addItem(QString::fromLatin1(texts[i]));
  list->setGeometry(geometry.x(), geometry.y(), geometry.width(), DuToPixelsY(14));
  return list;
}

}  // namespace

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
  setWindowTitle(QString());
  setFixedSize(DuToPixelsX(226), DuToPixelsY(64));
  auto* frame = new QGroupBox(QStringLiteral("COM Port"), this);
  frame->setGeometry(DuRect(0, 0, 188, 62));
  Label(QStringLiteral("Data"), this, DuRect(10, 27, 15, 14));
  data_ = new QLineEdit(this);
  data_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d*")), data_));
  data_->setGeometry(DuRect(30, 28, 18, 14));
  Label(QStringLiteral("Parity"), this, DuRect(54, 28, 18, 12));
  parity_ = List(this, kParityTexts, 5, DuRect(74, 28, 42, 43));
  Label(QStringLiteral("Stop"), this, DuRect(122, 27, 16, 12));
  stop_ = List(this, kStopTexts, 3, DuRect(141, 28, 44, 45));
  baud_ = List(this, kBaudTexts, 15, DuRect(107, 12, 73, 67));
  Label(QStringLiteral("Baud"), this, DuRect(85, 12, 17, 12));
  com1_ = new QRadioButton(QStringLiteral("COM1"), this);
  com1_->setGeometry(DuRect(9, 12, 32, 12));
  com2_ = new QRadioButton(QStringLiteral("COM2"), this);
  com2_->setGeometry(DuRect(42, 12, 32, 12));
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
  apply_ = new QPushButton(QStringLiteral("&Apply"), this);
  apply_->setGeometry(DuRect(190, 7, 34, 14));
  close_ = new QPushButton(QStringLiteral("Close"), this);
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
  for (QComboBox* list : {baud_, parity_, stop_})
    connect(list, &QComboBox::currentIndexChanged, this, &PortSettingsDialog::EnableApply);
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

void PortSettingsDialog::ShowStoredValues() {
  if (settings_.Port == 0) com1_->setChecked(true);
  if (settings_.Port == 1) com2_->setChecked(true);
  // The first entry that begins with the stored rate, ignoring case.
  baud_->setCurrentIndex(baud_->findText(QString::number(settings_.Baudrate), Qt::MatchStartsWith));
  data_->setText(QString::number(settings_.Data));
  const auto parity = std::find(kParityTable.begin(), kParityTable.end(), settings_.Parity);
  parity_->setCurrentIndex(
      parity == kParityTable.end() ? -1 : static_cast<int>(parity - kParityTable.begin()));
  stop_->setCurrentIndex(settings_.Stop <= 2 ? static_cast<int>(settings_.Stop) : -1);
  ShowDeviceOfCheckedPort();
  apply_->setEnabled(true);
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
  // A field without a choice keeps its stored value.
  const std::uint32_t port = ChosenPort();
  const std::uint32_t baud =
      baud_->currentIndex() >= 0 ? kBaudTable[baud_->currentIndex()] : settings_.Baudrate;
  const std::uint32_t parity =
      parity_->currentIndex() >= 0 ? kParityTable[parity_->currentIndex()] : settings_.Parity;
  const std::uint32_t stop = stop_->currentIndex() >= 0
                                 ? static_cast<std::uint32_t>(stop_->currentIndex())
                                 : settings_.Stop;
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
  apply_->setEnabled(false);
  return true;
}

}  // namespace ternis
