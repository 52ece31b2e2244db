#include "station_window/station_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include "app/file_kind.h"
#include "app/log_window.h"
#include "app/window_texts.h"
#include "controls/skin.h"
#include "controls/skin_button.h"
#include "link/line_settings.h"
#include "station/key_file_check.h"
#include "station/printable_text.h"
#include "station_window/slot_row.h"

#ifndef TERNIS_VERSION
#define TERNIS_VERSION "0"
#endif

namespace ternis {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kKinds[4] = {M_KEY_FILE, D_KEY_FILE, C_KEY_FILE, FIRMWARE_FILE};
const char* const kKindCaptions[4] = {"M.Key", "D.key", "C.key", "Firmware"};
const char* const kParityNames[5] = {"NONE", "ODD", "EVEN", "MARK", "SPACE"};  // by code
const char* const kColumnTitles[] = {"Slot", "Device", "State", "Covered", "Rate",
                                     "ETA",  "Pass",   "Fail",  "Last result", ""};
constexpr int kTitleBandHeight = 44;
constexpr auto kTickInterval = std::chrono::milliseconds(500);
constexpr std::size_t kPoolLowMark = 10;  // keys left in ready/ when the log warns

// The skin's colours (res/draw_skin.py), so this window sits with the main one.
const QColor kNavy(20, 40, 90);
const QColor kNavyLight(38, 70, 140);
const QColor kPanel(238, 242, 248);
const QColor kInk(40, 52, 74);

QFont WindowFont() {
  const bool verdana = QFontDatabase::families().contains(QStringLiteral("Verdana"));
  return QFont(verdana ? QStringLiteral("Verdana") : QStringLiteral("DejaVu Sans"), 8);
}

QString DefaultChooser(QWidget* parent, const QString& title) {
  QFileDialog dialog(parent, title);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.selectedFiles().value(0);
}

QString DefaultFolderChooser(QWidget* parent, const QString& title) {
  return QFileDialog::getExistingDirectory(parent, title);
}

QWidget* Heading(const QString& text, QWidget* parent) {
  auto* box = new QWidget(parent);
  auto* layout = new QHBoxLayout(box);
  layout->setContentsMargins(0, 6, 0, 0);
  auto* label = new QLabel(text, box);
  QFont font = label->font();
  font.setBold(true);
  font.setPointSize(font.pointSize() + 1);
  label->setFont(font);
  auto* rule = new QFrame(box);
  rule->setFrameShape(QFrame::HLine);
  rule->setStyleSheet(QStringLiteral("color: rgb(190,202,222);"));
  layout->addWidget(label);
  layout->addWidget(rule, 1);
  return box;
}

QComboBox* List(QWidget* parent, const QStringList& texts, const QList<int>& codes) {
  auto* list = new QComboBox(parent);
  for (int i = 0; i < texts.size(); ++i) list->addItem(texts[i], codes[i]);
  return list;
}

std::chrono::milliseconds Until(SteadyTime due) {
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
  return std::max(wait, std::chrono::milliseconds(0));
}

QString Elapsed(qint64 ms) {
  const qint64 s = ms / 1000;
  return QStringLiteral("%1:%2:%3")
      .arg(s / 3600)
      .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
      .arg(s % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

StationWindow::StationWindow(StationWindowSettings& settings, QWidget* parent)
    : QWidget(parent, Qt::Window),
      settings_(settings),
      log_file_(LogFile::DefaultPath().empty()
                    ? std::filesystem::path()
                    : LogFile::DefaultPath().parent_path() / "station.log"),
      log_(&log_file_),
      choose_file_(DefaultChooser),
      choose_folder_(DefaultFolderChooser) {
  setFont(WindowFont());
  setWindowTitle(QStringLiteral("Ternis Download Tool \u2014 Station"));
  setWindowIcon(skin::AppIcon());
  setAcceptDrops(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, kPanel);
  palette.setColor(QPalette::WindowText, kInk);
  setPalette(palette);
  setAutoFillBackground(true);
  CreateControls();
  resize(1180, 560);

  service_timer_ = new QTimer(this);
  service_timer_->setSingleShot(true);
  connect(service_timer_, &QTimer::timeout, this, &StationWindow::Service);
  refresh_timer_ = new QTimer(this);
  refresh_timer_->setSingleShot(true);
  connect(refresh_timer_, &QTimer::timeout, this, &StationWindow::Refresh);
  // Rates fall and the clock moves even when no box says anything.
  tick_timer_ = new QTimer(this);
  tick_timer_->setInterval(kTickInterval);
  connect(tick_timer_, &QTimer::timeout, this, &StationWindow::Service);
}

StationWindow::~StationWindow() {
  station_.reset();  // the receive threads end before any widget goes
}

// --- building -------------------------------------------------------------

void StationWindow::CreateControls() {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 0, 12, 10);
  layout->setSpacing(4);

  auto* band = new QWidget(this);
  band->setFixedHeight(kTitleBandHeight);
  auto* band_layout = new QHBoxLayout(band);
  band_layout->setContentsMargins(0, 0, 0, 0);
  auto* title = new QLabel(QStringLiteral("Ternis Download Tool \u2014 Station"), band);
  QFont title_font = title->font();
  title_font.setBold(true);
  title_font.setPointSize(11);
  title->setFont(title_font);
  title->setStyleSheet(QStringLiteral("color: white;"));
  totals_ = new QLabel(band);
  totals_->setStyleSheet(QStringLiteral("color: white;"));
  QFont totals_font = totals_->font();
  totals_font.setPointSize(10);
  totals_->setFont(totals_font);
  band_layout->addSpacing(36);  // the logo is painted there
  band_layout->addWidget(title);
  band_layout->addStretch(1);
  band_layout->addWidget(totals_);
  layout->addWidget(band);

  layout->addWidget(Heading(QStringLiteral("File"), this));
  layout->addWidget(CreateFilePanel());
  layout->addWidget(Heading(QStringLiteral("Serial line and records"), this));
  layout->addWidget(CreateLinePanel());
  warning_ = new QLabel(this);
  warning_->setStyleSheet(QStringLiteral("color: rgb(196,32,32); font-weight: bold;"));
  warning_->setWordWrap(true);
  warning_->hide();
  layout->addWidget(warning_);
  layout->addWidget(Heading(QStringLiteral("Slots"), this));
  layout->addWidget(CreateSlotsPanel(), 1);
}

QWidget* StationWindow::CreateFilePanel() {
  auto* panel = new QWidget(this);
  auto* layout = new QHBoxLayout(panel);
  layout->setContentsMargins(0, 0, 0, 0);
  for (int i = 0; i < 4; ++i) {
    kinds_[i] = new SkinButton(SkinButton::Kind::Radio, panel);
    kinds_[i]->setText(QString::fromLatin1(kKindCaptions[i]));
    kinds_[i]->setFixedSize(95, 25);
    kinds_[i]->SetBitmaps(skin::IDB_KIND_NORMAL, skin::IDB_KIND_PRESSED, skin::IDB_KIND_HOVER, 0,
                          0, 0, SkinButton::Plain, 0, 4);
    kinds_[i]->setFocusPolicy(Qt::ClickFocus);
    connect(kinds_[i], &QAbstractButton::clicked, this, [this, i] { SelectFile(kKinds[i]); });
    layout->addWidget(kinds_[i]);
  }
  layout->addSpacing(8);
  path_box_ = new QLineEdit(panel);
  path_box_->setReadOnly(true);
  path_box_->setPlaceholderText(QStringLiteral("Choose a file, or drop one on the window"));
  layout->addWidget(path_box_, 1);
  auto* choose = new QPushButton(QStringLiteral("..."), panel);
  choose->setFixedWidth(32);
  choose->setAutoDefault(false);
  connect(choose, &QPushButton::clicked, this, &StationWindow::ChooseFile);
  layout->addWidget(choose);
  key_pool_button_ = new QPushButton(QStringLiteral("Key pool\u2026"), panel);
  key_pool_button_->setAutoDefault(false);
  key_pool_button_->setToolTip(
      QStringLiteral("A folder of key files: each box gets a key of its own, never twice"));
  connect(key_pool_button_, &QPushButton::clicked, this, &StationWindow::ChooseKeyPool);
  layout->addWidget(key_pool_button_);
  identity_ = new QLabel(panel);
  identity_->setMinimumWidth(230);
  layout->addWidget(identity_);
  return panel;
}

QWidget* StationWindow::CreateLinePanel() {
  auto* panel = new QWidget(this);
  auto* layout = new QHBoxLayout(panel);
  layout->setContentsMargins(0, 0, 0, 0);
  QStringList bauds;
  QList<int> baud_codes;
  for (std::uint32_t baud : kBaudRates) {
    bauds << QString::number(baud);
    baud_codes << static_cast<int>(baud);
  }
  baud_ = List(panel, bauds, baud_codes);
  data_ = List(panel, {"5", "6", "7", "8"}, {5, 6, 7, 8});
  QStringList parities;
  for (const char* name : kParityNames) parities << QString::fromLatin1(name);
  parity_ = List(panel, parities, {kParityNone, kParityOdd, kParityEven, kParityMark, kParitySpace});
  stop_ = List(panel, {"1", "2"}, {kStopOne, kStopTwo});  // 1.5: termios cannot set it
  const std::pair<const char*, QComboBox*> fields[] = {
      {"Baud", baud_}, {"Data", data_}, {"Parity", parity_}, {"Stop", stop_}};
  for (const auto& [caption, list] : fields) {
    layout->addWidget(new QLabel(QString::fromLatin1(caption), panel));
    layout->addWidget(list);
    connect(list, &QComboBox::activated, this, [this] { apply_line_->setEnabled(true); });
  }
  apply_line_ = new QPushButton(QStringLiteral("Apply"), panel);
  apply_line_->setAutoDefault(false);
  apply_line_->setEnabled(false);
  apply_line_->setToolTip(QStringLiteral("Reopens every port with these settings; only while no "
                                         "unit is in progress"));
  connect(apply_line_, &QPushButton::clicked, this, &StationWindow::ApplyLineFromControls);
  layout->addWidget(apply_line_);
  layout->addSpacing(16);
  layout->addWidget(new QLabel(QStringLiteral("Record file"), panel));
  record_box_ = new QLineEdit(panel);
  record_box_->setPlaceholderText(QStringLiteral("none: units are not recorded"));
  connect(record_box_, &QLineEdit::editingFinished, this, [this] {
    if (record_box_->text() != settings_.record_path) SetRecordPath(record_box_->text());
  });
  layout->addWidget(record_box_, 1);
  auto* choose = new QPushButton(QStringLiteral("..."), panel);
  choose->setFixedWidth(32);
  choose->setAutoDefault(false);
  connect(choose, &QPushButton::clicked, this, &StationWindow::ChooseRecordFile);
  layout->addWidget(choose);
  return panel;
}

QWidget* StationWindow::CreateSlotsPanel() {
  auto* panel = new QWidget(this);
  auto* layout = new QVBoxLayout(panel);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* header = new QWidget(panel);
  auto* header_layout = new QHBoxLayout(header);
  header_layout->setContentsMargins(7, 0, 7, 0);
  header_layout->setSpacing(6);
  for (std::size_t i = 0; i < std::size(kColumnTitles); ++i) {
    auto* title = new QLabel(QString::fromLatin1(kColumnTitles[i]), header);
    title->setStyleSheet(QStringLiteral("color: rgb(96,110,134);"));
    const int width = SlotRow::kColumnWidths[i];
    if (width > 0) title->setFixedWidth(width);
    if (i >= 4 && i <= 7) title->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    header_layout->addWidget(title, width > 0 ? 0 : 1);
  }
  layout->addWidget(header);

  scroll_ = new QScrollArea(panel);
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  auto* rows = new QWidget(scroll_);
  rows->setAutoFillBackground(false);
  rows_layout_ = new QVBoxLayout(rows);
  rows_layout_->setContentsMargins(0, 0, 0, 0);
  rows_layout_->setSpacing(2);
  rows_layout_->addStretch(1);
  scroll_->setWidget(rows);
  scroll_->viewport()->setAutoFillBackground(false);
  layout->addWidget(scroll_, 1);

  auto* adding = new QWidget(panel);
  auto* add_layout = new QHBoxLayout(adding);
  add_layout->setContentsMargins(0, 4, 0, 0);
  add_layout->addWidget(new QLabel(QStringLiteral("New slot"), adding));
  new_name_ = new QLineEdit(adding);
  new_name_->setPlaceholderText(QStringLiteral("name (optional)"));
  new_name_->setFixedWidth(SlotRow::kColumnWidths[0] + 20);
  new_device_ = new QComboBox(adding);
  new_device_->setEditable(true);
  new_device_->setInsertPolicy(QComboBox::NoInsert);
  new_device_->setMinimumWidth(SlotRow::kColumnWidths[1] + 100);
  new_device_->lineEdit()->setPlaceholderText(QStringLiteral("device"));
  connect(new_device_, &QComboBox::activated, this,
          [this](int index) { new_device_->setEditText(new_device_->itemData(index).toString()); });
  add_ = new QPushButton(QStringLiteral("Add"), adding);
  add_->setAutoDefault(false);
  connect(add_, &QPushButton::clicked, this, &StationWindow::AddFromControls);
  auto* whole_log = new QPushButton(QStringLiteral("Log"), adding);
  whole_log->setAutoDefault(false);
  whole_log->setToolTip(QStringLiteral("Every slot's lines"));
  connect(whole_log, &QPushButton::clicked, this, [this] { OpenLog(QString()); });
  add_layout->addWidget(new_name_);
  add_layout->addWidget(new_device_);
  add_layout->addWidget(add_);
  add_layout->addStretch(1);
  add_layout->addWidget(whole_log);
  layout->addWidget(adding);
  return panel;
}

SlotRow* StationWindow::CreateRow(const SlotSpec& spec) {
  auto* row = new SlotRow(spec, devices_, scroll_->widget());
  rows_layout_->insertWidget(rows_layout_->count() - 1, row);  // above the stretch
  connect(row, &SlotRow::renameAsked, this,
          [this](SlotRow* r, const QString& name) { RenameSlot(RowOf(r), name); });
  connect(row, &SlotRow::deviceAsked, this,
          [this](SlotRow* r, const QString& device) { ChangeDevice(RowOf(r), device); });
  connect(row, &SlotRow::removeAsked, this, &StationWindow::OnRemoveAsked);
  connect(row, &SlotRow::logAsked, this, [this](SlotRow* r) {
    const int index = RowOf(r);
    if (index >= 0) OpenLog(QString::fromStdString(rows_[static_cast<std::size_t>(index)].spec.name));
  });
  return row;
}

// A new station with the settings as they are now, the file loaded before
// any slot can serve. The old one, if any, is idle (every caller checks).
bool StationWindow::BuildStation(const QString& file) {
  if (station_) {
    for (const StationEvent& event : station_->StopAll()) Tell(event);
    station_.reset();
  }
  StationSettings settings;
  settings.line = settings_.line;
  settings.session.unit_timeout = settings_.unit_timeout;
  settings.tool_version = TERNIS_VERSION;
  settings.secret = secret_;
  station_ = std::make_unique<Station>(settings, [this] { Wake(); });
  const bool loaded =
      settings_.key_pool.isEmpty() ? LoadFile(file) : UseKeyPool(settings_.key_pool);
  record_error_.clear();
  std::string error;
  if (!settings_.record_path.isEmpty() &&
      !station_->OpenRecords(settings_.record_path.toStdString(), error)) {
    record_error_ = QStringLiteral("Units are not recorded: cannot open %1: %2")
                        .arg(settings_.record_path, QString::fromStdString(error));
    Say(record_error_);
  }
  for (Row& row : rows_) row.slot = station_->AddSlot(row.spec);
  ShowFileState();
  return loaded;
}

bool StationWindow::LoadFile(const QString& path) {
  path_box_->setText(path);
  path_box_->setToolTip(QString());
  if (path.isEmpty()) {
    file_error_ = QStringLiteral("No file chosen: the boxes get nothing");
    return false;
  }
  QStringList warnings;
  if (secret_) {
    for (const std::string& warning : KeyFileWarnings(path.toStdString())) {
      Say(QStringLiteral("warning: ") + QString::fromStdString(warning));
      warnings << QString::fromStdString(warning);
    }
  }
  path_box_->setToolTip(warnings.join(QLatin1Char('\n')));
  std::string error;
  if (!station_->LoadImage(path.toStdString(), error)) {
    file_error_ = QString::fromStdString(error);
    Say(file_error_);
    return false;
  }
  file_error_.clear();
  const ImageIdentity& identity = station_->image();
  Say(QStringLiteral("serving %1 (%2 bytes, sha256 %3)")
          .arg(path)
          .arg(identity.size)
          .arg(QString::fromStdString(identity.sha256)));
  if (secret_ && !station_->image_locked())
    Say(QStringLiteral("the key could not be locked in memory (RLIMIT_MEMLOCK); it may reach swap"));
  return true;
}

// Keys are loaded one by one as units start; the window shows what is left.
bool StationWindow::UseKeyPool(const QString& dir) {
  path_box_->setText(dir);
  path_box_->setToolTip(QString());
  std::string error;
  if (!station_->UseKeyPool(dir.toStdString(), kPoolLowMark, error)) {
    file_error_ = QString::fromStdString(error);
    Say(file_error_);
    return false;
  }
  file_error_.clear();
  Say(QStringLiteral("serving keys from %1 (%2 ready)").arg(dir).arg(station_->PoolCounts().ready));
  return true;
}

void StationWindow::Start() {
  elapsed_.start();
  since_refresh_.start();
  devices_ = ListSerialDevices();
  FillDeviceChooser(new_device_, devices_);
  secret_ = IsKeyKind(settings_.kind) || !settings_.key_pool.isEmpty();
  for (const SlotSpec& spec : settings_.slot_specs) rows_.push_back({CreateRow(spec), spec, 0});
  record_box_->setText(settings_.record_path);
  ShowLine();
  CheckKindButtons();
  BuildStation(*settings_.PathOf(settings_.kind));
  Say(QStringLiteral("station started with %1 slot(s)").arg(rows_.size()));
  tick_timer_->start();
  Service();
  Refresh();
}

// --- the station's upkeep ---------------------------------------------------

// Any thread. One queued call however many wakes come before the upkeep
// takes the news.
void StationWindow::Wake() {
  if (wake_posted_.exchange(true)) return;
  QMetaObject::invokeMethod(this, &StationWindow::OnWake, Qt::QueuedConnection);
}

// A box wakes the window at every percent it reads: sixteen fast boxes make
// well over a thousand wakes a second, each a turn of this thread. The
// upkeep runs at most every kServiceSpacingMs; wakes in between wait for it.
void StationWindow::OnWake() {
  const qint64 since = since_service_.isValid() ? since_service_.elapsed() : kServiceSpacingMs;
  if (since >= kServiceSpacingMs) {
    Service();
    return;
  }
  const int wait = static_cast<int>(kServiceSpacingMs - since);
  if (!service_timer_->isActive() || service_timer_->remainingTime() > wait)
    service_timer_->start(wait);
}

void StationWindow::Service() {
  wake_posted_.store(false);  // news from here on wakes again
  since_service_.restart();
  if (!station_ || ended_) return;
  for (const StationEvent& event : station_->Service(Clock::now())) Tell(event);
  ScheduleService();
  ScheduleRefresh();
}

void StationWindow::ScheduleService() {
  service_timer_->stop();
  if (const auto due = station_->NextService()) service_timer_->start(Until(*due));
}

void StationWindow::ScheduleRefresh() {
  if (refresh_timer_->isActive()) return;
  refresh_timer_->start(static_cast<int>(
      std::max<qint64>(0, kRefreshIntervalMs - since_refresh_.elapsed())));
}

void StationWindow::Refresh() {
  since_refresh_.restart();
  if (!station_) return;
  bool busy = false;
  for (const Row& row : rows_) {
    const SlotView view = station_->View(row.slot);
    row.widget->Show(view);
    busy |= view.in_unit;
  }
  // What changes the file or the ports waits for every slot to be idle.
  for (SkinButton* kind : kinds_) kind->setEnabled(!busy);
  key_pool_button_->setEnabled(!busy);
  apply_line_->parentWidget()->setEnabled(!busy);
  ShowTotals();
}

void StationWindow::ShowTotals() {
  int in_progress = 0;
  for (const Row& row : rows_) in_progress += station_->View(row.slot).in_unit ? 1 : 0;
  const QString text = QStringLiteral("%1 passed \u00b7 %2 failed \u00b7 %3 in progress \u00b7 %4")
                           .arg(passed_)
                           .arg(failed_)
                           .arg(in_progress)
                           .arg(Elapsed(elapsed_.elapsed()));
  if (totals_->text() != text) totals_->setText(text);
}

void StationWindow::Tell(const StationEvent& event) {
  const int index = RowOfSlot(event.slot);
  SlotRow* row = index >= 0 ? rows_[static_cast<std::size_t>(index)].widget : nullptr;
  const QString name = QString::fromStdString(
      index >= 0 ? rows_[static_cast<std::size_t>(index)].spec.name : event.record.slot);
  switch (event.kind) {
    case StationEvent::Kind::kNotice:
      TellNotice(event);
      break;
    case StationEvent::Kind::kUnitEnded:  // on disk already
    case StationEvent::Kind::kRecordFailed: {
      const bool recorded = event.kind == StationEvent::Kind::kUnitEnded;
      Say(QString::fromStdString(DescribeUnit(event.record.result, &event.record.image)), name);
      if (!recorded) {
        record_error_ = QString::fromStdString(event.error);
        Say(record_error_, name);
        ShowFileState();
      }
      passed_ += event.record.result.outcome == UnitOutcome::kPass ? 1 : 0;
      failed_ += event.record.result.outcome == UnitOutcome::kFail ? 1 : 0;
      if (row) row->ShowResult(event.record, recorded ? std::string() : event.error);
      emit unitShown(name, ResultText(event.record.result));
      break;
    }
    case StationEvent::Kind::kStateChanged:
      break;  // the rows show it at the next refresh
    case StationEvent::Kind::kKeyPool:
      Say(QString::fromStdString(event.text));
      break;
  }
  if (event.kind == StationEvent::Kind::kUnitEnded || event.kind == StationEvent::Kind::kKeyPool)
    ShowPoolCounts();
}

void StationWindow::TellNotice(const StationEvent& event) {
  const int index = RowOfSlot(event.slot);
  if (index < 0) return;
  const Row& row = rows_[static_cast<std::size_t>(index)];
  const QString name = QString::fromStdString(row.spec.name);
  const SessionNotice& notice = event.notice;
  switch (notice.kind) {
    case NoticeKind::kUnitStarted:
      Say(QStringLiteral("unit %1 started (%2)")
              .arg(notice.unit)
              .arg(QString::fromStdString(notice.text)),
          name);
      break;
    case NoticeKind::kDeviceLost:
      Say(QString::fromStdString(notice.text) +
              (ended_ ? QString() : QStringLiteral("; waiting for it to come back")),
          name);
      break;
    case NoticeKind::kCannotOpen:
      if (!event.diagnosis) break;  // said at the stop: nothing to wait for any more
      row.widget->ShowDiagnosis(QString::fromStdString(event.diagnosis->Text()));
      Say(QString::fromStdString(event.diagnosis->Text()) +
              (notice.error == ENOENT ? QStringLiteral("; waiting for it")
                                      : QStringLiteral("; trying again every few seconds")),
          name);
      break;
    case NoticeKind::kConnected:
      row.widget->ShowDiagnosis(QString());
      Say(QString::fromStdString(notice.text), name);
      break;
  }
}

// --- what the operator changes ---------------------------------------------

bool StationWindow::AnyUnitInProgress() const {
  if (!station_) return false;
  for (const Row& row : rows_)
    if (station_->View(row.slot).in_unit) return true;
  return false;
}

bool StationWindow::IdleFor(const QString& what) {
  if (!AnyUnitInProgress()) return true;
  Say(what + QStringLiteral(" waits until no unit is in progress; nothing changed"));
  return false;
}

bool StationWindow::AddSlot(const SlotSpec& spec, QString& error) {
  std::string why;
  std::vector<SlotSpec> all;
  for (const Row& row : rows_) all.push_back(row.spec);
  all.push_back(spec);
  if (!CheckSlot(spec, spec.name != spec.device, why) || !CheckUnique(all, why)) {
    error = QString::fromStdString(why);
    Say(QStringLiteral("slot not added: ") + error);
    return false;
  }
  rows_.push_back({CreateRow(spec), spec, station_->AddSlot(spec)});
  Say(QStringLiteral("slot added on %1").arg(QString::fromStdString(spec.device)),
      QString::fromStdString(spec.name));
  Refresh();
  return true;
}

void StationWindow::AddFromControls() {
  const QString name = new_name_->text().trimmed();
  const QString device = new_device_->currentText().trimmed();
  const SlotSpec spec{(name.isEmpty() ? device : name).toStdString(), device.toStdString()};
  QString error;
  if (AddSlot(spec, error)) {
    new_name_->clear();
    new_device_->setEditText(QString());
    new_device_->setToolTip(QString());
  } else {
    new_device_->setToolTip(error);
  }
}

void StationWindow::OnRemoveAsked(SlotRow* widget) {
  RemoveSlot(RowOf(widget));
}

bool StationWindow::RemoveSlot(int index) {
  if (index < 0 || index >= rowCount()) return false;
  Row& row = rows_[static_cast<std::size_t>(index)];
  const QString name = QString::fromStdString(row.spec.name);
  if (!station_->RemoveSlot(row.slot)) {
    Say(QStringLiteral("a slot is removed only while no unit is in progress on it"), name);
    return false;
  }
  const std::size_t removed = row.slot;
  row.widget->hide();
  row.widget->deleteLater();  // it may be inside its own button's click
  rows_.erase(rows_.begin() + index);
  for (Row& other : rows_)
    if (other.slot > removed) --other.slot;
  Say(QStringLiteral("slot removed"), name);
  Refresh();
  return true;
}

bool StationWindow::RenameSlot(int index, const QString& name) {
  if (index < 0 || index >= rowCount()) return false;
  Row& row = rows_[static_cast<std::size_t>(index)];
  const QString old_name = QString::fromStdString(row.spec.name);
  const std::string wanted = name.toStdString();
  QString refusal;
  if (!IsSlotName(wanted)) {
    refusal = QStringLiteral("a slot name is letters, digits, '-', '_' and '.'");
  } else {
    for (const Row& other : rows_)
      if (&other != &row && other.spec.name == wanted) refusal = QStringLiteral("the name is taken");
  }
  if (refusal.isEmpty() && !station_->RenameSlot(row.slot, wanted))
    refusal = QStringLiteral("a slot is renamed only while no unit is in progress on it");
  if (!refusal.isEmpty()) {
    Say(QStringLiteral("not renamed to %1: %2").arg(name, refusal), old_name);
    row.widget->ShowSpec(row.spec);
    return false;
  }
  row.spec.name = wanted;
  row.widget->ShowSpec(row.spec);
  Say(QStringLiteral("renamed to %1").arg(name), old_name);
  return true;
}

// The station has no "move": the slot goes and comes back on the new
// device, at the same place in the window, its counts kept.
bool StationWindow::ChangeDevice(int index, const QString& device) {
  if (index < 0 || index >= rowCount()) return false;
  Row& row = rows_[static_cast<std::size_t>(index)];
  SlotSpec spec = row.spec;
  const bool named = spec.name != spec.device;
  spec.device = device.toStdString();
  if (!named) spec.name = spec.device;
  std::string why;
  std::vector<SlotSpec> all;
  for (const Row& other : rows_) all.push_back(&other == &row ? spec : other.spec);
  if (!CheckSlot(spec, named, why) || !CheckUnique(all, why)) {
    Say(QStringLiteral("device not changed: ") + QString::fromStdString(why),
        QString::fromStdString(row.spec.name));
    row.widget->ShowSpec(row.spec);
    return false;
  }
  const std::size_t old_slot = row.slot;
  if (!station_->RemoveSlot(old_slot)) {
    Say(QStringLiteral("the device is changed only while no unit is in progress"),
        QString::fromStdString(row.spec.name));
    row.widget->ShowSpec(row.spec);
    return false;
  }
  for (Row& other : rows_)
    if (other.slot > old_slot) --other.slot;
  row.spec = spec;
  row.slot = station_->AddSlot(spec);
  row.widget->ShowSpec(spec);
  row.widget->ShowDiagnosis(QString());
  Say(QStringLiteral("now on %1").arg(device), QString::fromStdString(spec.name));
  Refresh();
  return true;
}

bool StationWindow::SelectFile(std::uint32_t kind, const QString& path) {
  QString* stored = settings_.PathOf(kind);
  if (!stored || !IdleFor(QStringLiteral("Changing the file"))) {
    CheckKindButtons();
    return false;
  }
  const QString chosen = path.isEmpty() ? *stored : path;
  settings_.kind = kind;
  const bool leaving_pool = !settings_.key_pool.isEmpty();
  settings_.key_pool.clear();
  CheckKindButtons();
  bool loaded = false;
  if (IsKeyKind(kind) != secret_ || leaving_pool) {
    secret_ = IsKeyKind(kind);  // a key is loaded into locked memory: a new station
    loaded = BuildStation(chosen);
  } else {
    loaded = LoadFile(chosen);
    // The old file must not go on being served as if it were the new one.
    if (!loaded && station_->has_image()) {
      const QString error = file_error_;
      BuildStation(QString());
      file_error_ = error;
      path_box_->setText(chosen);
    }
  }
  if (loaded) *stored = chosen;
  ShowFileState();
  return loaded;
}

bool StationWindow::SelectKeyPool(const QString& dir) {
  if (!IdleFor(QStringLiteral("Changing to a key pool"))) return false;
  settings_.key_pool = dir;
  secret_ = true;
  CheckKindButtons();
  const bool used = BuildStation(QString());
  if (!used) settings_.key_pool.clear();  // the next start serves the file again
  ShowFileState();
  return used;
}

bool StationWindow::SetRecordPath(const QString& path) {
  if (!IdleFor(QStringLiteral("Changing the record file"))) {
    record_box_->setText(settings_.record_path);
    return false;
  }
  settings_.record_path = path.trimmed();
  record_box_->setText(settings_.record_path);
  if (settings_.record_path.isEmpty()) {
    BuildStation(*settings_.PathOf(settings_.kind));  // the station cannot stop recording
    Say(QStringLiteral("units are no longer recorded"));
    return true;
  }
  std::string error;
  if (!station_->OpenRecords(settings_.record_path.toStdString(), error)) {
    record_error_ = QStringLiteral("Units are not recorded: cannot open %1: %2")
                        .arg(settings_.record_path, QString::fromStdString(error));
    Say(record_error_);
    ShowFileState();
    return false;
  }
  record_error_.clear();
  Say(QStringLiteral("units are recorded in ") + settings_.record_path);
  ShowFileState();
  return true;
}

bool StationWindow::SetLine(const LineSettings& line) {
  if (ValidateLineSettings(line) != 0) {
    Say(QStringLiteral("line settings refused: no port can take them"));
    ShowLine();
    return false;
  }
  if (!IdleFor(QStringLiteral("Changing the line settings"))) {
    ShowLine();
    return false;
  }
  settings_.line = line;
  BuildStation(*settings_.PathOf(settings_.kind));
  ShowLine();
  Say(QStringLiteral("every port reopened at %1 baud").arg(line.baud));
  return true;
}

void StationWindow::ApplyLineFromControls() {
  LineSettings line;
  line.baud = static_cast<std::uint32_t>(baud_->currentData().toInt());
  line.data_bits = static_cast<std::uint8_t>(data_->currentData().toInt());
  line.parity = static_cast<std::uint8_t>(parity_->currentData().toInt());
  line.stop_bits = static_cast<std::uint8_t>(stop_->currentData().toInt());
  SetLine(line);
}

void StationWindow::ShowLine() {
  const LineSettings& line = settings_.line;
  if (baud_->findData(static_cast<int>(line.baud)) < 0)
    baud_->addItem(QString::number(line.baud), static_cast<int>(line.baud));
  baud_->setCurrentIndex(baud_->findData(static_cast<int>(line.baud)));
  data_->setCurrentIndex(data_->findData(line.data_bits));
  parity_->setCurrentIndex(parity_->findData(line.parity));
  stop_->setCurrentIndex(stop_->findData(line.stop_bits));
  apply_line_->setEnabled(false);
}

void StationWindow::ShowFileState() {
  if (station_ && station_->key_pool() && file_error_.isEmpty()) {
    ShowPoolCounts();
  } else if (station_ && station_->has_image() && file_error_.isEmpty()) {
    const ImageIdentity& identity = station_->image();
    identity_->setText(DescribeIdentity(identity));
    identity_->setToolTip(QString::fromStdString(identity.path + "\nSHA-256 " + identity.sha256));
    identity_->setStyleSheet(QString());
  } else {
    identity_->setText(QStringLiteral("no file served"));
    identity_->setToolTip(file_error_);
    identity_->setStyleSheet(QStringLiteral("color: rgb(196,32,32);"));
  }
  QStringList warnings;
  if (!file_error_.isEmpty()) warnings << file_error_;
  if (!record_error_.isEmpty()) warnings << record_error_;
  warning_->setText(warnings.join(QLatin1Char('\n')));
  warning_->setVisible(!warnings.isEmpty());
}

void StationWindow::ShowPoolCounts() {
  if (!station_ || !station_->key_pool() || !file_error_.isEmpty()) return;
  const KeyPoolCounts counts = station_->PoolCounts();
  identity_->setText(QStringLiteral("Keys: %1 left \u00b7 %2 used \u00b7 %3 spoiled")
                         .arg(counts.ready)
                         .arg(counts.used)
                         .arg(counts.spoiled));
  identity_->setToolTip(QStringLiteral("Key pool %1\n%2 issued to units in progress")
                            .arg(settings_.key_pool)
                            .arg(counts.issued));
  identity_->setStyleSheet(counts.ready == 0 ? QStringLiteral("color: rgb(196,32,32);")
                                             : QString());
}

void StationWindow::CheckKindButtons() {
  const bool pool = !settings_.key_pool.isEmpty();
  for (int i = 0; i < 4; ++i) kinds_[i]->SetCheck(!pool && kKinds[i] == settings_.kind ? 1 : 0);
}

void StationWindow::ChooseFile() {
  const QString path = choose_file_(this, QStringLiteral("The file for every slot"));
  if (!path.isEmpty()) SelectFile(settings_.kind, path);
}

void StationWindow::ChooseKeyPool() {
  const QString dir = choose_folder_(this, QStringLiteral("The key pool: a folder of key files"));
  if (!dir.isEmpty()) SelectKeyPool(dir);
}

void StationWindow::ChooseRecordFile() {
  QFileDialog dialog(this, QStringLiteral("The record file"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setOption(QFileDialog::DontConfirmOverwrite);  // records are appended
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
    SetRecordPath(dialog.selectedFiles().first());
}

LogWindow* StationWindow::OpenLog(const QString& slot) {
  auto* window = new LogWindow(log_, this);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->SetSlotFilter(slot);  // and the title that says which slot
  window->show();
  return window;
}

// --- drag and drop ----------------------------------------------------------

void StationWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void StationWindow::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (urls.size() != 1 || !urls.first().isLocalFile()) {
    Say(QStringLiteral("Drop one file; %1 items were dropped, nothing changed").arg(urls.size()));
    return;
  }
  const QString path = urls.first().toLocalFile();
  if (QFileInfo(path).isDir()) {
    Say(QStringLiteral("%1 is a folder; drop one file, nothing changed").arg(path));
    return;
  }
  event->acceptProposedAction();
  SelectFile(settings_.kind, path);
}

// --- the end ------------------------------------------------------------------

void StationWindow::End() {
  if (ended_) return;
  ended_ = true;
  for (QTimer* timer : {service_timer_, refresh_timer_, tick_timer_}) timer->stop();
  if (station_) {
    for (const StationEvent& event : station_->StopAll()) Tell(event);
    Refresh();
  }
  Say(QStringLiteral("station stopped: %1 passed, %2 failed").arg(passed_).arg(failed_));
  SaveSettings();
  emit finished();
  close();
}

void StationWindow::SaveSettings() {
  settings_.slot_specs.clear();
  for (const Row& row : rows_) settings_.slot_specs.push_back(row.spec);
  settings_.Save();
}

void StationWindow::closeEvent(QCloseEvent* event) {
  End();
  event->accept();
}

void StationWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QLinearGradient band(0, 0, 0, kTitleBandHeight);
  band.setColorAt(0, kNavyLight);
  band.setColorAt(1, kNavy);
  painter.fillRect(QRect(0, 0, width(), kTitleBandHeight), band);
  // The window's own icon, made once: the pixmap cache then holds one copy
  // of it, and no paint decodes images.
  windowIcon().paint(&painter, QRect(12, 6, 32, 32));
}

// --- helpers --------------------------------------------------------------------

int StationWindow::RowOf(const SlotRow* widget) const {
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].widget == widget) return static_cast<int>(i);
  return -1;
}

int StationWindow::RowOfSlot(std::size_t slot) const {
  for (std::size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].slot == slot) return static_cast<int>(i);
  return -1;
}

// Lines quote file, device and slot names: escaped, they stay one line.
void StationWindow::Say(const QString& text, const QString& slot) {
  const auto printable = [](const QString& t) {
    return QString::fromStdString(PrintableText(t.toStdString()));
  };
  log_.Append(printable(text), printable(slot));
}

}  // namespace ternis
