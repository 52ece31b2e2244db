#pragma once
// The station window's slots: a header, one row per slot of the station in
// the station's order, and the controls to add one. It keeps no list of its
// own: a row is the station's slot of the same index, and every change
// (add, rename, move to another device, remove) is the station's to accept
// or refuse; the table says what happened in the log.

#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

#include "station/serial_inventory.h"
#include "station/station.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace ternis {

class SlotRow;

class SlotTable : public QWidget {
  Q_OBJECT

 public:
  // A line for the log, about `slot` when not empty.
  using Say = std::function<void(const QString& text, const QString& slot)>;

  SlotTable(Say say, QWidget* parent = nullptr);

  // The rows follow `station` (a row for each of its slots); rows already
  // there keep what they show.
  void SetStation(Station* station);
  void SetDevices(const std::vector<SerialDevice>& devices);

  bool AddSlot(const SlotSpec& spec, QString& error);
  bool RemoveSlot(int row);
  bool RenameSlot(int row, const QString& name);
  bool ChangeDevice(int row, const QString& device);

  // The rows of one half (`half` 0: even rows, 1: odd rows; kAllRows:
  // every row) from the station's view; true while any unit is in progress,
  // as the rows were last refreshed.
  static constexpr int kAllRows = -1;
  bool Refresh(int half = kAllRows);
  // A notice or a unit's end on its row and in the log; `stopping`: the
  // station is stopping, and lost devices are not waited for.
  void Tell(const StationEvent& event, bool stopping);
  const UnitTally& tally() const { return tally_; }
  // "3 passed · 1 failed · 2 in progress · 0:01:05"
  QString TotalsText(qint64 elapsed_ms) const;
  int rowCount() const { return static_cast<int>(rows_.size()); }
  SlotRow* row(int i) const { return rows_[static_cast<std::size_t>(i)]; }
  QPushButton* addButton() const { return add_; }

 signals:
  // The slot's lines of the log (empty: every slot's).
  void logAsked(const QString& slot);
  // A slot was added, moved or removed.
  void changed();
  // A unit's result, as its row shows it, once it is on disk.
  void unitShown(const QString& slot, const QString& result);

 private:
  QWidget* CreateHeader();
  QWidget* CreateAdding();
  void AppendRow(const SlotSpec& spec);
  void AddFromControls();
  int RowOf(const SlotRow* widget) const;
  QString NameOf(int row) const;

  void TellUnit(const StationEvent& event);

  Say say_;
  Station* station_ = nullptr;
  UnitTally tally_;
  std::vector<bool> in_unit_;  // by row, as last refreshed
  std::vector<SlotRow*> rows_;
  std::vector<SerialDevice> devices_;
  QVBoxLayout* rows_layout_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QLineEdit* new_name_ = nullptr;
  QComboBox* new_device_ = nullptr;
  QPushButton* add_ = nullptr;
};

}  // namespace ternis
