#pragma once
// The program's window: a skinned frameless dialog with the file-kind
// buttons, the file's path and identity, the progress bar with the tally of
// units and the line that says where the box stands, the busy notice, the
// version and the Configuration button. The box drives everything else through the private
// messages the receive thread posts to it.

#include <QDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>

#include "app/busy_popup.h"
#include "app/busy_rule.h"
#include "app/file_selection.h"
#include "app/link_control.h"
#include "app/log_book.h"
#include "app/log_file.h"
#include "app/log_window.h"
#include "app/request_digest.h"
#include "app/session_presenter.h"
#include "app/window_link.h"
#include "app/window_messages.h"
#include "app/window_texts.h"
#include "controls/clock_display.h"
#include "controls/percent_progress_ctrl.h"
#include "controls/skin_button.h"
#include "controls/styled_label.h"
#include "station/unit_record.h"

namespace ternis {

class BoxSession;
class SettingsStore;

class DownloadDialog : public QDialog {
  Q_OBJECT

 public:
  // Returns the chosen path, or an empty one when cancelled (tests replace it).
  using FileChooser = std::function<QString(QWidget* parent)>;
  // Sounds a unit's result when the Sound setting is on (tests replace it).
  using Sounder = std::function<void(bool passed)>;

  DownloadDialog(SettingsStore& settings, BoxSession& session, LinkControl::MessageBox message_box,
                 QWidget* parent = nullptr);
  ~DownloadDialog() override;  // the link teardown, as the window goes

  // Everything the window does before it is shown, in order: skin, clock,
  // the start-up connect, the stored kind checked, progress reset, and the
  // stored file of that kind loaded.
  void Initialise();

  // Makes the file of `kind` current: `path`, or the stored one when `path`
  // is empty. The path is stored only when it loads. Returns 1.
  int SelectFile(std::uint32_t kind, const QString& path = QString());
  // Firmware button, close button, Configuration and the path box together.
  void EnableControls(bool enable);
  // The status sink: formats at most 1023 characters into the log.
  [[gnu::format(printf, 2, 3)]] void ReportStatus(const char* format, ...);

  // Ends the program the orderly way (close button, window manager, signals).
  void EndProgram();

  // The log window (Ctrl+L, the context menu), made on first use.
  void ShowLog();
  // One dropped file selects it as the file dialog does; anything else is refused.
  void DropPaths(const QStringList& paths);

  void setFileChooser(FileChooser chooser) { choose_file_ = std::move(chooser); }
  void setSounder(Sounder sounder) { sound_ = std::move(sounder); }
  LogBook& logBook() { return log_book_; }
  LogWindow* logWindow() const { return log_window_; }
  // The whole path of the file shown (the box may show it shortened).
  const QString& shownPath() const { return shown_path_; }
  LinkControl& link() { return link_; }
  WindowLink& window_link() { return window_link_; }

  // For tests and tools that look at the window.
  PercentProgressCtrl* progress() const { return progress_; }
  const BusyPopup& busy() const { return busy_; }
  SkinButton* kindButton(int i) const { return kinds_[static_cast<std::size_t>(i)]; }
  SkinButton* closeButton() const { return close_; }
  SkinButton* minimiseButton() const { return minimise_; }
  QPushButton* configurationButton() const { return configuration_; }
  QLineEdit* pathBox() const { return path_box_; }
  StyledLabel* versionLabel() const { return version_; }
  ClockDisplay* clock() const { return clock_; }
  StyledLabel* statusLine() const { return status_line_; }
  StyledLabel* tallyLabel() const { return tally_; }
  StyledLabel* identityLabel() const { return identity_; }

 signals:
  void statusReported(const QString& line);
  // After each progress message: the percent shown and whether the box is writing.
  void progressHandled(int percent, bool busy);
  // After each unit, with its one-line description.
  void unitEnded(const QString& description);
  // Whenever the line under the progress bar changes.
  void statusShown(const QString& text);

 public slots:
  void reject() override {}  // Escape and Cancel never end the program

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void CreateControls();
  void NameControls();
  void SkinControls();
  void HandleMessage(const WindowMessage& message);
  // A status text from the box's side, as the request digest has it logged.
  void LogStatusText(const char* text);
  void OnProgress(std::uintptr_t range, std::intptr_t percent);
  // Shows or lifts the busy notice and the lock that goes with it.
  void ShowBusy(bool busy);
  // The box is not writing: its unit ended, it is gone, or it booted again.
  void EndBusySpell();
  // What the window does around the presenter's news: the digest, the busy lock, the sound.
  SessionPresenter::Hooks PresenterHooks();
  // The identity of the bytes served on the "File" heading's rule; hidden when none.
  void ShowIdentity(const ImageIdentity* identity);
  // The path box: the whole path, shortened in the middle when it does not fit.
  void ShowPath(const QString& path, const QStringList& notes);
  void SoundResult(bool passed);
  void OnKindClicked(std::uint32_t kind);
  void ChooseFile();
  void OpenPortSettings();
  void CheckKindButtons();

  SettingsStore& settings_;
  BoxSession& session_;
  FileSelection files_;
  LogFile log_file_;
  LogBook log_book_;
  RequestDigest request_digest_;
  QPointer<LogWindow> log_window_;
  WindowLink window_link_;
  WindowMessages messages_;
  std::unique_ptr<SessionPresenter> presenter_;  // over the labels, made with them
  LinkControl link_;
  FileChooser choose_file_;
  Sounder sound_;
  BusyPopup busy_;
  BusyRule busy_rule_;
  QPixmap background_;
  ClockDisplay* clock_ = nullptr;
  StyledLabel* version_ = nullptr;
  SkinButton* minimise_ = nullptr;
  SkinButton* close_ = nullptr;
  std::array<SkinButton*, 4> kinds_{};
  QPushButton* configuration_ = nullptr;
  PercentProgressCtrl* progress_ = nullptr;
  StyledLabel* tally_ = nullptr;
  StyledLabel* status_line_ = nullptr;
  QLineEdit* path_box_ = nullptr;
  QString shown_path_;
  StyledLabel* identity_ = nullptr;
  std::array<QLineEdit*, 5> clock_fields_{};
  bool torn_down_ = false;
};

}  // namespace ternis
