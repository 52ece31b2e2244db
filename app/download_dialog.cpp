#include "app/download_dialog.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QWindow>
#include <cstdarg>

#include "app/dialog_units.h"
#include "app/port_settings_dialog.h"
#include "app/settings_store.h"
#include "controls/skin.h"
#include "protocol/constants.h"
#include "station/box_session.h"

Q_LOGGING_CATEGORY(lcStatus, "ternis.status")

namespace ternis {

namespace {

constexpr std::uint32_t kKinds[4] = {M_KEY_FILE, D_KEY_FILE, C_KEY_FILE, FIRMWARE_FILE};
const char* const kKindCaptions[4] = {"M.Key", "D.key", "C.key", "Firmware"};

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

}  // namespace

DownloadDialog::DownloadDialog(SettingsStore& settings, BoxSession& session,
                               LinkControl::MessageBox message_box, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint),
      settings_(settings),
      session_(session),
      window_link_(this, [this](std::uint32_t m, std::uintptr_t w,
                                std::intptr_t l) { return HandleMessage(m, w, l); }),
      messages_(window_link_, &window_link_),
      link_(session, settings, std::move(message_box)),
      choose_file_(DefaultChooser) {
  setFont(DialogFont());
  CreateControls();
  service_timer_ = new QTimer(this);
  service_timer_->setSingleShot(true);
  connect(service_timer_, &QTimer::timeout, this, &DownloadDialog::ServiceSession);
  session_.SetObserver(&messages_);  // the port is not open yet
}

DownloadDialog::~DownloadDialog() {
  if (!torn_down_) link_.Teardown();
  session_.SetObserver(nullptr);  // nothing may reach this window any more
}

void DownloadDialog::CreateControls() {
  for (int i = 0; i < 4; ++i) {
    kinds_[i] = new SkinButton(SkinButton::Kind::Radio, this);
    kinds_[i]->setText(kKindCaptions[i]);
    kinds_[i]->setFocusPolicy(Qt::ClickFocus);
    connect(kinds_[i], &QAbstractButton::clicked, this, [this, i] { OnKindClicked(kKinds[i]); });
  }
  progress_ = new PercentProgressCtrl(this);
  progress_->setGeometry(DuRect(29, 118, 193, 12));
  path_box_ = new QLineEdit(this);
  path_box_->setReadOnly(true);
  path_box_->setFocusPolicy(Qt::ClickFocus);
  path_box_->setGeometry(DuRect(29, 167, 193, 12));
  path_box_->installEventFilter(this);
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
}

void DownloadDialog::Initialise() {
  SkinControls();
  clock_ = new ClockDisplay(clock_fields_[0], clock_fields_[1], clock_fields_[2], clock_fields_[3],
                            clock_fields_[4], this);
  clock_->Create();
  link_.StartupConnect();
  CheckKindButtons();
  progress_->SetRange32(0, 100);
  progress_->SetPos(0);
  SelectFile(settings_.FILE_MASK);
  version_->UseParentBackground(true);
  configuration_->setFocus();  // the first tab stop
}

void DownloadDialog::CheckKindButtons() {
  for (int i = 0; i < 4; ++i) kinds_[i]->SetCheck(kKinds[i] == settings_.FILE_MASK ? 1 : 0);
}

int DownloadDialog::SelectFile(std::uint32_t kind, const QString& given) {
  QString* stored = nullptr;
  const char* prefix = "";
  switch (kind) {
    case M_KEY_FILE:
      stored = &settings_.M_KEY, prefix = "M KEY file selected : ";
      break;
    case D_KEY_FILE:
      stored = &settings_.D_KEY, prefix = "D KEY file selected ";
      break;
    case C_KEY_FILE:
      stored = &settings_.C_KEY, prefix = "C KEY file selected : ";
      break;
    case FIRMWARE_FILE:
      stored = &settings_.Firmware, prefix = "FIRMWARE file selected : ";
      break;
    default:
      break;
  }
  QString path = given;
  if (stored) {
    if (path.isEmpty()) path = *stored;
    if (session_.LoadImageFile(path.toStdString())) *stored = path;
  }
  path_box_->setText(path);
  if (!path.isEmpty()) {
    ReportStatus("%s; %s sized %lld", prefix, qPrintable(path),
                 static_cast<long long>(QueryFileLength(path)));
  }
  return 1;
}

qint64 DownloadDialog::QueryFileLength(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.size() : 0;
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
  emit statusReported(text);
}

bool DownloadDialog::event(QEvent* event) {
  if (window_link_.Deliver(event)) return true;
  return QDialog::event(event);
}

std::intptr_t DownloadDialog::HandleMessage(std::uint32_t message, std::uintptr_t wparam,
                                            std::intptr_t lparam) {
  std::uint16_t mjd = 0;
  std::uint32_t time = 0;
  switch (message) {
    case SM_PROGRESS:
      OnProgress(wparam, lparam);
      return 0;
    case SM_STATUS_TEXT:
      ReportStatus("%s", reinterpret_cast<const char*>(lparam));
      return 0;
    case SM_NOTIFY_ERROR_CODE:
      ReportStatus("SM_NOTIFY_ERROR_CODE : %s", reinterpret_cast<const char*>(lparam));
      return 0;
    case SM_GET_DATE:
      clock_->GetDateTimeCode(mjd, time);
      return mjd;  // the low 16 bits, upper bits 0
    case SM_GET_TIME:
      clock_->GetDateTimeCode(mjd, time);
      return static_cast<std::intptr_t>(time & 0x00FFFFFF);
    case kSessionChangedMessage:
      ServiceSession();
      return 0;
    default:
      return 0;  // boot-up and request notices: nothing to do
  }
}

void DownloadDialog::OnProgress(std::uintptr_t range, std::intptr_t percent) {
  progress_->SetRange32(0, static_cast<int>(range & 0xFFFF));
  progress_->SetPos(static_cast<int>(percent));
  const bool writing = session_.engine().finishing() == 1;
  if (writing) {
    repaint();
    EnableControls(false);
    busy_.Show();
  } else {
    busy_.Hide();
    EnableControls(true);
    repaint();
  }
  emit progressHandled(static_cast<int>(percent), writing);
}

void DownloadDialog::ServiceSession() {
  session_.Service();
  for (const SessionNotice& notice : session_.TakeNotices()) {
    if (notice.kind == NoticeKind::kUnitStarted) {
      ReportStatus("Unit %llu started (%s).", static_cast<unsigned long long>(notice.unit),
                   notice.text.c_str());
    } else {
      ReportStatus("%s: %s", session_.Snapshot().device.c_str(), notice.text.c_str());
    }
  }
  for (const UnitResult& result : session_.TakeResults()) {
    const std::string text = DescribeResult(result);
    ReportStatus("%s", text.c_str());
    emit unitEnded(QString::fromStdString(text));
  }
  service_timer_->stop();
  if (const auto due = session_.NextService()) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
        *due - std::chrono::steady_clock::now());
    service_timer_->start(std::max<std::chrono::milliseconds>(wait, std::chrono::milliseconds(0)));
  }
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
  PortSettingsDialog panel(settings_, link_);
  panel.exec();
}

void DownloadDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawPixmap(0, 0, background_);
}

void DownloadDialog::mousePressEvent(QMouseEvent* event) {
  // Dragging by the background, except while the box writes.
  if (event->button() == Qt::LeftButton && session_.engine().finishing() == 0 && windowHandle()) {
    windowHandle()->startSystemMove();
    return;
  }
  QDialog::mousePressEvent(event);
}

// Enter is the OK command and ends the program; Escape does nothing.
void DownloadDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Enter || event->key() == Qt::Key_Return) {
    accept();
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

}  // namespace ternis
