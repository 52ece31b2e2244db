#pragma once
// One slot of the station window: its name, its device (the detected ports
// with their stable names, or a typed path), where it stands, a bar of the
// image covered, rate and time left, the passed and failed counts and the
// last result with its reason. Filled from the station's view by the
// window's refresh timer; the counts and the last result come from the
// records, so the row says exactly what the record file says.

#include <QFrame>
#include <QString>
#include <vector>

#include "station/serial_inventory.h"
#include "station/station.h"

class QComboBox;
class QLabel;
class QLayout;
class QLineEdit;
class QToolButton;

namespace ternis {

class PercentProgressCtrl;

class SlotRow : public QFrame {
  Q_OBJECT

 public:
  // Column widths, shared with the header above the rows.
  static constexpr int kColumnWidths[] = {90, 210, 130, 150, 80, 50, 44, 44, 0, 60};

  SlotRow(const SlotSpec& spec, const std::vector<SerialDevice>& devices,
          QWidget* parent = nullptr);

  // What the station shows now. Only texts that changed are set.
  void Show(const SlotView& view);
  // A unit ended and was recorded (or, with `record_error`, could not be).
  void ShowResult(const UnitRecord& record, const std::string& record_error);
  // Why the device cannot be opened (its tooltip); empty once it works.
  void ShowDiagnosis(const QString& text);
  // Name, device and remove are offered only while no unit is in progress.
  void SetIdle(bool idle);
  void ShowSpec(const SlotSpec& spec);
  void SetDevices(const std::vector<SerialDevice>& devices);

  std::uint64_t passed() const { return tally_.passed; }
  std::uint64_t failed() const { return tally_.failed; }
  std::uint64_t aborted() const { return tally_.aborted; }

  QLineEdit* nameBox() const { return name_; }
  QComboBox* deviceChooser() const { return device_; }
  QLabel* stateLabel() const { return state_; }
  PercentProgressCtrl* progress() const { return progress_; }
  QLabel* rateLabel() const { return rate_; }
  QLabel* etaLabel() const { return eta_; }
  QLabel* passedLabel() const { return passed_label_; }
  QLabel* failedLabel() const { return failed_label_; }
  QLabel* resultLabel() const { return result_; }
  QToolButton* logButton() const { return log_; }
  QToolButton* removeButton() const { return remove_; }

 signals:
  void renameAsked(ternis::SlotRow* row, const QString& name);
  void deviceAsked(ternis::SlotRow* row, const QString& device);
  void removeAsked(ternis::SlotRow* row);
  void logAsked(ternis::SlotRow* row);

 private:
  void CreateControls();
  void FixCellHeights(const QLayout* layout);
  void OnNameEdited();
  void OnDeviceEdited();
  void ShowCounts();
  void ShowTip();

  SlotSpec spec_;
  QLineEdit* name_ = nullptr;
  QComboBox* device_ = nullptr;
  QLabel* state_ = nullptr;
  PercentProgressCtrl* progress_ = nullptr;
  QLabel* rate_ = nullptr;
  QLabel* eta_ = nullptr;
  QLabel* passed_label_ = nullptr;
  QLabel* failed_label_ = nullptr;
  QLabel* result_ = nullptr;
  QToolButton* log_ = nullptr;
  QToolButton* remove_ = nullptr;
  UnitTally tally_;
  int shown_outcome_ = -1;  // the bar's colour: -1 plain, else a UnitOutcome
  QString diagnosis_;
  QString result_tip_;
};

// The detected ports for a device chooser: each one's by-path names, by-id
// names and node, with the product; the item's data is the path.
void FillDeviceChooser(QComboBox* chooser, const std::vector<SerialDevice>& devices);

// "PASS", "FAIL", "ABORTED" for a slot whose unit ended; the state's name
// ("waiting for device", "serving", ...) otherwise.
QString StateText(SlotState state);
// "1.2 MB/s", "85 KB/s"; empty when nothing moves.
QString RateText(double bytes_per_second);
// "12 s", "3:05"; empty when unknown.
QString EtaText(std::optional<double> seconds);

}  // namespace ternis
