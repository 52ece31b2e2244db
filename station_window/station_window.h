#pragma once
// The station window: one file served to many boxes at once from the
// desktop, one row per slot, with the look of the main window. It is a
// front end of `Station`, as ternis-serve is: this window's thread owns the
// station and runs its upkeep; the ports' receive threads only post a wake
// (coalesced: one queued call however many changes), so nothing here ever
// waits on a port. Rows are refreshed from a timer, at most 30 times a
// second, whatever the boxes do. The panels (file, line and records,
// slots) show and ask; the station, built by the shared StationChoice,
// decides.

#include <QElapsedTimer>
#include <QString>
#include <QWidget>
#include <atomic>
#include <memory>

#include "app/log_book.h"
#include "app/log_file.h"
#include "station/station_setup.h"
#include "station_window/file_panel.h"
#include "station_window/line_panel.h"
#include "station_window/slot_table.h"
#include "station_window/station_settings.h"

class QLabel;
class QTimer;

namespace ternis {

class LogWindow;
class SkinButton;
class SlotRow;

class StationWindow : public QWidget {
  Q_OBJECT

 public:
  using FileChooser = FilePanel::Chooser;
  // Rows refresh in two halves, one half a tick: the window shows news
  // every tick, and a row refreshes at most every two (under 30 a second).
  static constexpr int kRefreshTickMs = 18;
  static constexpr int kServiceSpacingMs = 10;  // a wake runs the upkeep at most this often
  // The slots' receive threads stand back this much (nice) for the window's
  // thread: sixteen of them busy on two cores would take its turns, and
  // each needs so little that it still answers at once when there is room.
  static constexpr int kReceiveNice = 10;

  explicit StationWindow(StationWindowSettings& settings, QWidget* parent = nullptr);
  ~StationWindow() override;

  // The station built from the settings: the file or key pool loaded, the
  // records opened, every slot added (a missing device is waited for).
  void Start();
  // Stops every slot (units in progress end as aborted, and are recorded),
  // writes the settings back and closes the window. Once; later calls do nothing.
  void End();
  bool ended() const { return ended_; }

  // The station's checks; false, with a line in the log, when refused.
  bool AddSlot(const SlotSpec& spec, QString& error) { return slots_->AddSlot(spec, error); }
  bool RemoveSlot(int row) { return slots_->RemoveSlot(row); }
  bool RenameSlot(int row, const QString& name) { return slots_->RenameSlot(row, name); }
  bool ChangeDevice(int row, const QString& device) { return slots_->ChangeDevice(row, device); }
  // The file of `kind` for every slot: `path`, or the stored one when empty.
  // Refused while any unit is in progress.
  bool SelectFile(std::uint32_t kind, const QString& path = QString());
  // Each box a key of its own from `pool` (a folder or a postgresql:// URI)
  // instead of the file. Refused while any unit is in progress.
  bool SelectKeyPool(const QString& pool);
  // Records go to `target` (a file or a postgresql:// URI; empty: none)
  // from now on. Refused while any unit is in progress.
  bool SetRecordPath(const QString& target);
  // New line settings for every port. Refused while any unit is in progress.
  bool SetLine(const LineSettings& line);

  void setFileChooser(FileChooser chooser) { file_panel_->setFileChooser(std::move(chooser)); }
  void setKeyPoolChooser(FileChooser chooser) {
    file_panel_->setKeyPoolChooser(std::move(chooser));
  }
  int rowCount() const { return slots_->rowCount(); }
  SlotRow* row(int i) const { return slots_->row(i); }
  const SlotSpec& specOf(int i) const { return station_->spec(static_cast<std::size_t>(i)); }
  LogBook& logBook() { return log_; }
  const std::filesystem::path& logPath() const { return log_file_.path(); }
  LogWindow* OpenLog(const QString& slot);
  bool AnyUnitInProgress() const { return station_ && station_->AnyUnitInProgress(); }

  QLabel* totalsLabel() const { return totals_; }
  QLabel* identityLabel() const { return file_panel_->identityLabel(); }
  QLabel* warningLabel() const { return warning_; }
  QLineEdit* pathBox() const { return file_panel_->pathBox(); }
  QLineEdit* recordBox() const { return line_panel_->recordBox(); }
  SkinButton* kindButton(int i) const { return file_panel_->kindButton(i); }
  QPushButton* addButton() const { return slots_->addButton(); }
  QPushButton* keyPoolButton() const { return file_panel_->keyPoolButton(); }

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
  void CreateControls();
  QWidget* CreateTitleBand();
  // A new station with the settings as they are now, serving `file` (or
  // the key pool), with the slots of the old one; true when it serves.
  bool BuildStation(const QString& file);
  bool LoadFile(const StationChoice& choice);
  bool UseKeyPool(const StationChoice& choice);
  void OpenRecords(const StationChoice& choice);
  void Wake();
  void OnWake();
  void Service();
  void Tell(const StationEvent& event);
  void ScheduleService();
  void ScheduleRefresh();
  void Refresh(int half = SlotTable::kAllRows);
  void RefreshHalf();
  void ShowTotals();
  void ShowFileState();
  void ShowPoolCounts();
  // False, with a log line saying what was refused, while a unit is in progress.
  bool IdleFor(const QString& what);
  void Say(const QString& text, const QString& slot = QString());
  void SaveSettings();

  StationWindowSettings& settings_;
  LogFile log_file_;
  LogBook log_;
  std::unique_ptr<Station> station_;
  bool secret_ = false;  // the station was built for a key file
  std::atomic<bool> wake_posted_{false};
  QTimer* service_timer_ = nullptr;
  QTimer* refresh_timer_ = nullptr;
  QTimer* tick_timer_ = nullptr;
  QElapsedTimer since_refresh_;
  int next_half_ = 0;
  int halves_due_ = 0;  // halves not refreshed since the last upkeep
  QElapsedTimer since_service_;
  QElapsedTimer elapsed_;
  bool ended_ = false;
  QString record_error_;
  QString file_error_;

  FilePanel* file_panel_ = nullptr;
  LinePanel* line_panel_ = nullptr;
  SlotTable* slots_ = nullptr;
  QLabel* totals_ = nullptr;
  QLabel* warning_ = nullptr;
};

}  // namespace ternis
