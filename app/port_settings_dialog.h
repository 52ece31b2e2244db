#pragma once
// The COM port panel: COM1 or COM2 and the device behind it, baud rate,
// data bits, parity and stop bits. Apply reconnects at once and stores the
// values only when that succeeds; Close, Enter and the title bar's close
// button end the panel without applying.

#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <array>
#include <cstdint>

namespace ternis {

class LinkControl;
class SettingsStore;

class PortSettingsDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr std::array<std::uint32_t, 5> kParityTable = {2, 3, 0, 1,
                                                                4};  // EVEN MARK NONE ODD SPACE

  // The panel's resource id and its controls' ids, kept as object names.
  enum ControlId : int {
    kIdPanel = 142,
    kIdDataBits = 1007,
    kIdParity = 1043,
    kIdStop = 1044,
    kIdBaud = 1045,
    kIdApply = 1076,
    kIdClose = 1088,
    kIdCom1 = 2028,
    kIdCom2 = 2029,
  };

  PortSettingsDialog(SettingsStore& settings, LinkControl& link, QWidget* parent = nullptr);

  // Reconnects with what the panel shows; on success stores it and
  // disables Apply. Returns whether it succeeded.
  bool Apply();

  QRadioButton* com1() const { return com1_; }
  QRadioButton* com2() const { return com2_; }
  QComboBox* baudList() const { return baud_; }
  QComboBox* parityList() const { return parity_; }
  QComboBox* stopList() const { return stop_; }
  QLineEdit* dataBox() const { return data_; }
  QComboBox* deviceChooser() const { return device_; }
  QPushButton* applyButton() const { return apply_; }
  QPushButton* closeButton() const { return close_; }

 public slots:
  void reject() override {}  // Escape leaves the panel open

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateControls();
  void ShowStoredValues();
  void ShowStoredLists();
  void ShowDeviceOfCheckedPort();
  void EnableApply() { apply_->setEnabled(true); }
  // The COM name the panel's values are for: checked button, else stored.
  std::uint32_t ChosenPort() const;

  SettingsStore& settings_;
  LinkControl& link_;
  QRadioButton* com1_ = nullptr;
  QRadioButton* com2_ = nullptr;
  QButtonGroup ports_;
  QComboBox* baud_ = nullptr;
  QComboBox* parity_ = nullptr;
  QComboBox* stop_ = nullptr;
  QLineEdit* data_ = nullptr;
  QComboBox* device_ = nullptr;
  QPushButton* apply_ = nullptr;
  QPushButton* close_ = nullptr;
};

// Leading decimal digits of the first 9 characters; 0 when there are none.
std::uint32_t LeadingNumber(const QString& text);
// The entry a list's edit field names (blanks around it and case ignored), or
// -1 when it names none.
int NamedEntry(const QComboBox& list);

}  // namespace ternis
