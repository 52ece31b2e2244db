#include "app/download_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <climits>
#include <cstdarg>

#include "app/dialog_units.h"
#include "app/enter_key.h"
#include "app/file_kind.h"
#include "app/port_settings_dialog.h"
#include "app/settings_store.h"
#include "app/sm_message.h"
#include "app/window_palette.h"
#include "controls/skin.h"
#include "protocol/date_time_code.h"
#include "station/box_session.h"

Q_LOGGING_CATEGORY(lcStatus, "ternis.status")

namespace ternis {

namespace {

QString DefaultChooser(QWidget* parent) {
  QFileDialog dialog(parent);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setDefaultSuffix(QStringLiteral("hex"));
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.selectedFiles().value(0);
}

QFont DialogFont() {
  const bool verdana = QFontDatabase::families().contains(QStringLiteral("Verdana"));
  return QFont(verdana ? QStringLiteral("Verdana") : QStringLiteral("DejaVu Sans"), 8);
}

// A percent far past the range (a file that shrank on disk) stays a large
// positive number instead of wrapping into a negative int.
int ShownPercent(std::intptr_t percent) {
  return static_cast<int>(std::clamp<std::intptr_t>(percent, 0, INT_MAX));
}

}  // namespace

DownloadDialog::DownloadDialog(SettingsStore& settings, BoxSession& session,
                               LinkControl::MessageBox message_box, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint),
      settings_(settings),
      session_(session),
      files_(settings, session,
             [this](const std::string& line) { ReportStatus("%s", line.c_str()); }),
      log_file_(LogFile::DefaultPath()),
      log_book_(&log_file_),
      window_link_(this, [this](const WindowMessage& message) { HandleMessage(message); }),
      messages_(window_link_),
      link_(session, settings, std::move(message_box)),
      choose_file_(DefaultChooser) {
  setFont(DialogFont());
  CreateControls();
  link_.set_log([this](const QString& line) { ReportStatus("%s", qPrintable(line)); });
  request_digest_.SetEveryRequest(settings_.LogEveryRequest != 0);
  presenter_ =
      std::make_unique<SessionPresenter>(session_, files_, tally_, status_line_, PresenterHooks());
  auto* show_log = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_L), this);
  connect(show_log, &QShortcut::activated, this, &DownloadDialog::ShowLog);
  setAcceptDrops(true);
  sound_ = [](bool passed) {
    QApplication::beep();
    if (!passed) QTimer::singleShot(250, [] { QApplication::beep(); });  // a failure beeps twice
  };
  session_.SetObserver(&messages_);  // the port is not open yet
}

DownloadDialog::~DownloadDialog() {
  if (!torn_down_) link_.Teardown();
  session_.SetObserver(nullptr);  // from here on nothing may reach this window
}

void DownloadDialog::CreateControls() {
  for (int i = 0; i < 4; ++i) {
    kinds_[i] = new SkinButton(SkinButton::Kind::Radio, this);
    kinds_[i]->setText(kFileKinds[i].caption);
    kinds_[i]->setFocusPolicy(Qt::ClickFocus);
    connect(kinds_[i], &QAbstractButton::clicked, this,
            [this, i] { OnKindClicked(kFileKinds[i].kind); });
  }
  progress_ = new PercentProgressCtrl(this);
  progress_->setGeometry(DuRect(29, 118, 193, 12));
  // On the "Progress" heading's rule, the tally; under the bar, where the
  // box stands and how its last unit ended.
  tally_ = new StyledLabel(this, StyledLabel::SS_RIGHT);
  tally_->setGeometry(190, 162, 215, 16);
  tally_->hide();
  status_line_ = new StyledLabel(this, StyledLabel::SS_LEFTNOWORDWRAP);
  status_line_->setGeometry(40, 216, 365, 16);
  path_box_ = new QLineEdit(this);
  path_box_->setReadOnly(true);
  path_box_->setFocusPolicy(Qt::ClickFocus);
  path_box_->setGeometry(DuRect(29, 167, 193, 12));
  path_box_->installEventFilter(this);
  path_box_->setAcceptDrops(false);  // a drop anywhere selects the file
  // On the "File" heading's rule: which bytes are served, at a glance.
  identity_ = new StyledLabel(this, StyledLabel::SS_RIGHT);
  identity_->setGeometry(190, 242, 215, 16);
  identity_->hide();
  configuration_ = new QPushButton(QStringLiteral("Configuration"), this);
  configuration_->setCheckable(true);     // a check box with a push-button look,
  configuration_->setAutoDefault(false);  // so Enter means OK, not "click me"
  configuration_->setGeometry(DuRect(167, 198, 51, 14));
  connect(configuration_, &QPushButton::clicked, this, &DownloadDialog::OpenPortSettings);
  minimise_ = new SkinButton(SkinButton::Kind::Push, this);
  close_ = new SkinButton(SkinButton::Kind::Push, this);
  connect(minimise_, &QAbstractButton::clicked, this, [this] { showMinimized(); });
  connect(close_, &QAbstractButton::clicked, this, &DownloadDialog::EndProgram);
  for (int i = 0; i < 5; ++i) {  // the clock's fields: never shown
    clock_fields_[i] = new QLineEdit(this);
    clock_fields_[i]->setReadOnly(true);
    clock_fields_[i]->hide();
  }
  version_ = new StyledLabel(this, StyledLabel::SS_CENTER);
  version_->setGeometry(DuRect(190, 226, 26, 12));
  NameControls();
}

// The classic control ids, as object names: tools and tests find the
// controls by them.
void DownloadDialog::NameControls() {
  const std::pair<QWidget*, int> ids[] = {
      {kinds_[0], 1054},        {kinds_[1], 1055},        {kinds_[2], 1056},
      {kinds_[3], 1057},        {progress_, 1012},        {path_box_, 1039},
      {configuration_, 1072},   {minimise_, 1004},        {close_, 1003},
      {clock_fields_[0], 1022}, {clock_fields_[1], 1023}, {clock_fields_[2], 1024},
      {clock_fields_[3], 1025}, {clock_fields_[4], 1058}, {version_, 1089},
  };
  for (const auto& [control, id] : ids) control->setObjectName(QString::number(id));
}

void DownloadDialog::SkinControls() {
  setWindowIcon(skin::AppIcon());
  background_ = skin::LoadBitmap(skin::IDB_BACKGROUND);  // once, not per paint
  busy_.Create(this, skin::IDB_BUSY);
  setGeometry(0, 0, 445, 392);
  setFixedSize(445, 392);
  minimise_->SetBitmaps(skin::IDB_MINIMISE_NORMAL, skin::IDB_MINIMISE_PRESSED,
                        skin::IDB_MINIMISE_HOVER, 0, 0, 0, SkinButton::Plain);
  minimise_->SetToolTipText(QStringLiteral("Minimize window"));
  close_->SetBitmaps(skin::IDB_CLOSE_NORMAL, skin::IDB_CLOSE_PRESSED, skin::IDB_CLOSE_HOVER, 0, 0,
                     0, SkinButton::Plain);
  close_->SetToolTipText(QStringLiteral("Close window"));
  minimise_->setGeometry(400, 5, 16, 16);
  close_->setGeometry(421, 5, 16, 16);
  setWindowTitle(QStringLiteral("Ternis Download Tool"));
  for (int i = 0; i < 4; ++i) {
    kinds_[i]->setGeometry(40 + 90 * i, 125, 95, 25);
    kinds_[i]->SetBitmaps(skin::IDB_KIND_NORMAL, skin::IDB_KIND_PRESSED, skin::IDB_KIND_HOVER, 0, 0,
                          0, SkinButton::Plain, 0, 4);
  }
  version_->SetLabelText(skin::VersionText());
  status_line_->UseParentBackground(true);
  for (StyledLabel* label : {tally_, identity_}) {
    label->SetBackground(kPanel, 0, false);  // cuts the heading's rule
    label->SetForeColor(kInk);
  }
}

void DownloadDialog::Initialise() {
  SkinControls();
  clock_ = new ClockDisplay(clock_fields_[0], clock_fields_[1], clock_fields_[2], clock_fields_[3],
                            clock_fields_[4], this);
  clock_->setCodeText([](const std::tm& local) {
    return QString::fromStdString(FormatDateTimeCode(DateTimeCodeFor(local)));
  });
  clock_->Create();
  link_.StartupConnect();
  CheckKindButtons();
  progress_->SetRange32(0, 100);
  progress_->SetPos(0);
  SelectFile(settings_.FILE_MASK);
  version_->UseParentBackground(true);
  presenter_->ShowState();
  configuration_->setFocus();  // the first tab stop
}

void DownloadDialog::CheckKindButtons() {
  for (int i = 0; i < 4; ++i)
    kinds_[i]->SetCheck(kFileKinds[i].kind == settings_.FILE_MASK ? 1 : 0);
}

int DownloadDialog::SelectFile(std::uint32_t kind, const QString& path) {
  const FileSelection::Result selected = files_.Select(kind, path);
  if (selected.known_kind) ShowIdentity(selected.identity);
  ShowPath(selected.path, selected.notes);
  return 1;
}

void DownloadDialog::ShowPath(const QString& path, const QStringList& notes) {
  shown_path_ = path;
  const int room = path_box_->contentsRect().width() - 2 * path_box_->textMargins().left() - 8;
  path_box_->setText(path_box_->fontMetrics().elidedText(path, Qt::ElideMiddle, room));
  path_box_->setCursorPosition(0);
  path_box_->setToolTip(path.isEmpty() ? QString() : (QStringList{path} + notes).join('\n'));
}

void DownloadDialog::ShowIdentity(const ImageIdentity* identity) {
  if (!identity) {
    identity_->hide();
    return;
  }
  identity_->SetLabelText(DescribeIdentity(*identity));
  identity_->setToolTip(QString::fromStdString(identity->path + "\nSHA-256 " + identity->sha256));
  identity_->show();
}

void DownloadDialog::EnableControls(bool enable) {
  kinds_[3]->setEnabled(enable);
  close_->setEnabled(enable);
  configuration_->setEnabled(enable);
  path_box_->setEnabled(enable);
}

void DownloadDialog::ReportStatus(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  const QString text = QString::fromLocal8Bit(line);
  qCInfo(lcStatus).noquote() << text;
  log_book_.Append(text);
  emit statusReported(text);
}

bool DownloadDialog::event(QEvent* event) {
  if (window_link_.Deliver(event)) return true;
  return QDialog::event(event);
}

// The time queries need no answer: the session has already sent the box
// its one reading of the clock.
void DownloadDialog::HandleMessage(const WindowMessage& message) {
  if (std::holds_alternative<SessionChangedEvent>(message)) {
    presenter_->Service();
    return;
  }
  const auto* sm = std::get_if<SmEvent>(&message);
  if (!sm) return;
  switch (sm->id) {
    case SM_PROGRESS:
      OnProgress(sm->range, sm->percent);
      break;
    case SM_STATUS_TEXT:
      LogStatusText(sm->text.c_str());
      break;
    case SM_STB_START:
      request_digest_.StartOver();
      EndBusySpell();
      break;
    case SM_NOTIFY_ERROR_CODE:
      ReportStatus("SM_NOTIFY_ERROR_CODE : %s", sm->text.c_str());
      EndBusySpell();  // the lost box's last message
      break;
    case SM_STB_DATA_REQ:
      busy_rule_.OnDataRequest();
      break;
    case SM_STB_TIME_REQ:
      busy_rule_.OnTimeRequest();
      ShowBusy(false);
      break;
    default:
      break;  // boot-up notices and the time queries: nothing to do
  }
}

void DownloadDialog::LogStatusText(const char* text) {
  const std::string line = request_digest_.Take(text, progress_->GetPos());
  if (!line.empty()) ReportStatus("%s", line.c_str());
}

void DownloadDialog::OnProgress(std::uintptr_t range, std::intptr_t percent) {
  const int shown = ShownPercent(percent);
  progress_->SetRange32(0, static_cast<int>(range & 0xFFFF));
  progress_->SetPos(shown);
  ShowBusy(busy_rule_.OnProgress(percent));
  emit progressHandled(shown, busy_rule_.busy());
}

// Only on a change: a download posts thousands of progress messages.
void DownloadDialog::ShowBusy(bool busy) {
  if (busy == busy_.visible()) return;
  if (busy) {
    EnableControls(false);
    busy_.Show();
  } else {
    busy_.Hide();
    EnableControls(true);
  }
  update();
}

// The session runs ahead of this queue: a unit's result can come before
// the box's last requests, whose progress would lock the window again. The
// loss notice and a boot-up end the spell in the queue's own order.
void DownloadDialog::EndBusySpell() {
  busy_rule_.OnUnitEnded();
  ShowBusy(false);
}

SessionPresenter::Hooks DownloadDialog::PresenterHooks() {
  return {
      .log = [this](const std::string& line) { ReportStatus("%s", line.c_str()); },
      .unit_started = [this] { request_digest_.StartOver(); },
      .unit_ended =
          [this](const UnitResult& result, const std::string& text) {
            request_digest_.StartOver();
            EndBusySpell();
            SoundResult(result.outcome == UnitOutcome::kPass);
            emit unitEnded(QString::fromStdString(text));
          },
      .status_shown = [this](const QString& text) { emit statusShown(text); },
  };
}

void DownloadDialog::OnKindClicked(std::uint32_t kind) {
  settings_.FILE_MASK = kind;
  SelectFile(kind);
  progress_->SetPos(0);
}

bool DownloadDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == path_box_ && event->type() == QEvent::FocusIn) {
    // Not from inside the focus change itself: the file dialog takes focus.
    QTimer::singleShot(0, this, &DownloadDialog::ChooseFile);
  }
  return QDialog::eventFilter(watched, event);
}

void DownloadDialog::ChooseFile() {
  setFocus();  // the window takes the focus, so the box shows no caret
  const QString path = choose_file_(this);
  if (!path.isEmpty()) SelectFile(settings_.FILE_MASK, path);
}

void DownloadDialog::OpenPortSettings() {
  PortSettingsDialog panel(settings_, link_, this);  // opens centred over the window
  panel.setFont(font());                             // its dialog units are the window's
  panel.exec();
}

void DownloadDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawPixmap(0, 0, background_);
}

// The notice stays centred over the window wherever it is moved.
void DownloadDialog::moveEvent(QMoveEvent* event) {
  if (busy_.visible()) busy_.Show();
  QDialog::moveEvent(event);
}

void DownloadDialog::mousePressEvent(QMouseEvent* event) {
  // Dragging by the background, except while the box writes.
  if (event->button() == Qt::LeftButton && !busy_rule_.busy() && windowHandle()) {
    windowHandle()->startSystemMove();
    return;
  }
  QDialog::mousePressEvent(event);
}

// Enter is the OK command and ends the program, unless a push button has
// the focus; Escape does nothing.
void DownloadDialog::keyPressEvent(QKeyEvent* event) {
  if (IsEnterKey(event)) {
    if (!ClickFocusedPushButton(focusWidget())) accept();
    return;
  }
  if (event->key() == Qt::Key_Escape) return;
  QDialog::keyPressEvent(event);
}

void DownloadDialog::EndProgram() {
  if (!torn_down_) {
    link_.Teardown();
    torn_down_ = true;
  }
  done(0);
}

// The window manager's close (taskbar, keyboard shortcut) ends the program
// the same orderly way as the close button.
void DownloadDialog::closeEvent(QCloseEvent* event) {
  event->accept();
  EndProgram();
}

void DownloadDialog::ShowLog() {
  if (!log_window_) {
    log_window_ = new LogWindow(log_book_, this);
    log_window_->setAttribute(Qt::WA_DeleteOnClose);
    // Over the window, but whole on the screen: it is larger than the window.
    QRect place(QPoint(), log_window_->size());
    place.moveCenter(frameGeometry().center());
    if (const QScreen* screen = this->screen()) {
      const QRect room = screen->availableGeometry();
      place.moveLeft(std::clamp(place.left(), room.left(),
                                std::max(room.left(), room.right() - place.width())));
      place.moveTop(std::clamp(place.top(), room.top(),
                               std::max(room.top(), room.bottom() - place.height())));
    }
    log_window_->move(place.topLeft());
  }
  log_window_->show();
  log_window_->raise();
  log_window_->activateWindow();
}

void DownloadDialog::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* log = menu.addAction(QStringLiteral("Log…"), this, &DownloadDialog::ShowLog);
  log->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  QAction* sound = menu.addAction(QStringLiteral("Sound after each box"));
  sound->setCheckable(true);
  sound->setChecked(settings_.Sound != 0);
  connect(sound, &QAction::toggled, this, [this](bool on) { settings_.Sound = on ? 1 : 0; });
  QAction* every = menu.addAction(QStringLiteral("Log every request"));
  every->setCheckable(true);
  every->setChecked(settings_.LogEveryRequest != 0);
  connect(every, &QAction::toggled, this, [this](bool on) {
    settings_.LogEveryRequest = on ? 1 : 0;
    request_digest_.SetEveryRequest(on);
  });
  menu.exec(event->globalPos());
}

void DownloadDialog::SoundResult(bool passed) {
  if (settings_.Sound != 0 && sound_) sound_(passed);
}

// While the box writes nothing may change, so nothing is taken.
void DownloadDialog::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls() && !busy_rule_.busy()) event->acceptProposedAction();
}

void DownloadDialog::dropEvent(QDropEvent* event) {
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls()) paths << url.toLocalFile();
  event->acceptProposedAction();
  DropPaths(paths);
}

void DownloadDialog::DropPaths(const QStringList& paths) {
  if (busy_rule_.busy()) {
    ReportStatus("Drop refused: the box is writing");
    return;
  }
  if (paths.size() != 1) {
    ReportStatus("Drop refused: %lld files dropped; drop one file",
                 static_cast<long long>(paths.size()));
    return;
  }
  const QString& path = paths.front();
  if (path.isEmpty()) {
    ReportStatus("Drop refused: not a local file");
    return;
  }
  if (QFileInfo(path).isDir()) {
    ReportStatus("Drop refused: %s is a folder; drop one file", qPrintable(path));
    return;
  }
  SelectFile(settings_.FILE_MASK, path);
}

}  // namespace ternis
