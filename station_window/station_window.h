#pragma once
// The station window: one file served to many boxes at once from the
// desktop, one row per slot, with the look of the main window. It is a
// front end of `Station`, as ternis-serve is: this window's thread owns the
// station and runs its upkeep; the ports' receive threads only post a wake
// (coalesced: one queued call however many changes), so nothing here ever
// waits on a port. Rows are refreshed from a timer, at most 30 times a
// second, whatever the boxes do.

#include <QElapsedTimer>
#include <QString>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "app/log_book.h"
#include "app/log_file.h"
#include "station/serial_inventory.h"
#include "station/station.h"
#include "station_window/station_settings.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QTimer;
class QVBoxLayout;

namespace ternis {

class LogWindow;
class SkinButton;
class SlotRow;

class StationWindow : public QWidget {
  Q_OBJECT

 public:
  // Returns the chosen path, or an empty one when cancelled (tests replace it).
  using FileChooser = std::function<QString(QWidget* parent, const QString& title)>;
  static constexpr int kRefreshIntervalMs = 33;  // at most 30 row refreshes a second
  static constexpr int kServiceSpacingMs = 10;   // a wake runs the upkeep at most this often

  explicit StationWindow(StationWindowSettings& settings, QWidget* parent = nullptr);
  ~StationWindow() override;

  // The station built from the settings: the file loaded, the record file
  // opened, every slot added (a missing device is waited for).
  void Start();
  // Stops every slot (units in progress end as aborted, and are recorded),
  // writes the settings back and closes the window. Once; later calls do nothing.
  void End();
  bool ended() const { return ended_; }

  // A new slot, with the server's checks; false with the reason.
  bool AddSlot(const SlotSpec& spec, QString& error);
  // These work only while the slot is idle; false (and a log line) otherwise.
  bool RemoveSlot(int row);
  bool RenameSlot(int row, const QString& name);
  bool ChangeDevice(int row, const QString& device);
  // The file of `kind` for every slot: `path`, or the stored one when empty.
  // Refused while any unit is in progress.
  bool SelectFile(std::uint32_t kind, const QString& path = QString());
  // Each box a key of its own from the pool folder `dir` instead of the file.
  // Refused while any unit is in progress.
  bool SelectKeyPool(const QString& dir);
  // Records go to `path` from now on (empty: none). Refused while any unit is in progress.
  bool SetRecordPath(const QString& path);
  // New line settings for every port. Refused while any unit is in progress.
  bool SetLine(const LineSettings& line);

  void setFileChooser(FileChooser chooser) { choose_file_ = std::move(chooser); }
  void setFolderChooser(FileChooser chooser) { choose_folder_ = std::move(chooser); }
  int rowCount() const { return static_cast<int>(rows_.size()); }
  SlotRow* row(int i) const { return rows_[static_cast<std::size_t>(i)].widget; }
  const SlotSpec& specOf(int i) const { return rows_[static_cast<std::size_t>(i)].spec; }
  LogBook& logBook() { return log_; }
  const std::filesystem::path& logPath() const { return log_file_.path(); }
  LogWindow* OpenLog(const QString& slot);
  bool AnyUnitInProgress() const;

  QLabel* totalsLabel() const { return totals_; }
  QLabel* identityLabel() const { return identity_; }
  QLabel* warningLabel() const { return warning_; }
  QLineEdit* pathBox() const { return path_box_; }
  QLineEdit* recordBox() const { return record_box_; }
  SkinButton* kindButton(int i) const { return kinds_[static_cast<std::size_t>(i)]; }
  QPushButton* addButton() const { return add_; }
  QPushButton* keyPoolButton() const { return key_pool_button_; }

 signals:
  // End() has run: the station is stopped and the settings are written.
  void finished();
  // A unit's result, as its row shows it, once it is on disk.
  void unitShown(const QString& slot, const QString& result);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  struct Row {
    SlotRow* widget;
    SlotSpec spec;
    std::size_t slot;  // the station's index: not the row's once a device changed
  };

  void CreateControls();
  QWidget* CreateFilePanel();
  QWidget* CreateLinePanel();
  QWidget* CreateSlotsPanel();
  SlotRow* CreateRow(const SlotSpec& spec);
  // A new station with the settings as they are now; true when `file` loaded.
  bool BuildStation(const QString& file);
  bool LoadFile(const QString& path);
  bool UseKeyPool(const QString& dir);
  void ShowPoolCounts();
  void Wake();
  void OnWake();
  void Service();
  void Tell(const StationEvent& event);
  void TellNotice(const StationEvent& event);
  void ScheduleService();
  void ScheduleRefresh();
  void Refresh();
  void ShowTotals();
  void ShowFileState();
  void ShowLine();
  void CheckKindButtons();
  void ApplyLineFromControls();
  void ChooseFile();
  void ChooseKeyPool();
  void ChooseRecordFile();
  void AddFromControls();
  void OnRemoveAsked(SlotRow* row);
  // False, with a log line saying what was refused, while a unit is in progress.
  bool IdleFor(const QString& what);
  int RowOf(const SlotRow* widget) const;
  int RowOfSlot(std::size_t slot) const;
  void Say(const QString& text, const QString& slot = QString());
  void SaveSettings();

  StationWindowSettings& settings_;
  LogFile log_file_;
  LogBook log_;
  std::unique_ptr<Station> station_;
  bool secret_ = false;  // the station was built for a key file
  std::vector<Row> rows_;
  std::vector<SerialDevice> devices_;
  std::atomic<bool> wake_posted_{false};
  QTimer* service_timer_ = nullptr;
  QTimer* refresh_timer_ = nullptr;
  QTimer* tick_timer_ = nullptr;
  QElapsedTimer since_refresh_;
  QElapsedTimer since_service_;
  QElapsedTimer elapsed_;
  FileChooser choose_file_;
  FileChooser choose_folder_;
  bool ended_ = false;
  std::uint64_t passed_ = 0, failed_ = 0;
  QString record_error_;
  QString file_error_;

  std::array<SkinButton*, 4> kinds_{};
  QLineEdit* path_box_ = nullptr;
  QPushButton* key_pool_button_ = nullptr;
  QLabel* identity_ = nullptr;
  QLabel* totals_ = nullptr;
  QLabel* warning_ = nullptr;
  QComboBox* baud_ = nullptr;
  QComboBox* data_ = nullptr;
  QComboBox* parity_ = nullptr;
  QComboBox* stop_ = nullptr;
  QPushButton* apply_line_ = nullptr;
  QLineEdit* record_box_ = nullptr;
  QLineEdit* new_name_ = nullptr;
  QComboBox* new_device_ = nullptr;
  QPushButton* add_ = nullptr;
  QVBoxLayout* rows_layout_ = nullptr;
  QScrollArea* scroll_ = nullptr;
};

}  // namespace ternis
