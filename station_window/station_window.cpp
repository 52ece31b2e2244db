#include "station_window/station_window.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>

#include "app/file_kind.h"
#include "app/log_window.h"
#include "controls/skin.h"
#include "station/printable_text.h"
#include "station/station_texts.h"
#include "station_window/station_look.h"

namespace ternis {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTitleBandHeight = 44;
constexpr auto kTickInterval = std::chrono::milliseconds(500);

std::chrono::milliseconds Until(SteadyTime due) {
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
  return std::max(wait, std::chrono::milliseconds(0));
}

}  // namespace

StationWindow::StationWindow(StationWindowSettings& settings, QWidget* parent)
    : QWidget(parent, Qt::Window),
      settings_(settings),
      log_file_(LogFile::DefaultPath().empty()
                    ? std::filesystem::path()
                    : LogFile::DefaultPath().parent_path() / "station.log"),
      log_(&log_file_) {
  setFont(station_look::Font());
  setWindowTitle(QStringLiteral("Ternis Download Tool \u2014 Station"));
  setWindowIcon(skin::AppIcon());
  setAcceptDrops(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, station_look::kPanel);
  palette.setColor(QPalette::WindowText, station_look::kInk);
  setPalette(palette);
  setAutoFillBackground(true);
  CreateControls();
  resize(1180, 560);

  service_timer_ = new QTimer(this);
  service_timer_->setSingleShot(true);
  connect(service_timer_, &QTimer::timeout, this, &StationWindow::Service);
  refresh_timer_ = new QTimer(this);
  refresh_timer_->setSingleShot(true);
  refresh_timer_->setTimerType(Qt::PreciseTimer);  // never early: the rows' cap holds
  connect(refresh_timer_, &QTimer::timeout, this, &StationWindow::RefreshHalf);
  // Rates fall and the clock moves even when no box says anything.
  tick_timer_ = new QTimer(this);
  tick_timer_->setInterval(kTickInterval);
  connect(tick_timer_, &QTimer::timeout, this, &StationWindow::Service);
}

StationWindow::~StationWindow() {
  station_.reset();  // the receive threads end before any widget goes
}

void StationWindow::CreateControls() {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 0, 12, 10);
  layout->setSpacing(4);
  layout->addWidget(CreateTitleBand());

  file_panel_ = new FilePanel(this);
  connect(file_panel_, &FilePanel::kindChosen, this, [this](std::uint32_t kind) { SelectFile(kind); });
  connect(file_panel_, &FilePanel::fileChosen, this,
          [this](const QString& path) { SelectFile(settings_.kind, path); });
  connect(file_panel_, &FilePanel::keyPoolChosen, this, &StationWindow::SelectKeyPool);
  line_panel_ = new LinePanel(this);
  connect(line_panel_, &LinePanel::lineApplied, this, &StationWindow::SetLine);
  connect(line_panel_, &LinePanel::recordChosen, this, &StationWindow::SetRecordPath);
  slots_ = new SlotTable([this](const QString& text, const QString& slot) { Say(text, slot); }, this);
  connect(slots_, &SlotTable::logAsked, this, &StationWindow::OpenLog);
  connect(slots_, &SlotTable::changed, this, [this] { Refresh(); });
  connect(slots_, &SlotTable::unitShown, this, &StationWindow::unitShown);

  layout->addWidget(station_look::Heading(QStringLiteral("File"), this));
  layout->addWidget(file_panel_);
  layout->addWidget(station_look::Heading(QStringLiteral("Serial line and records"), this));
  layout->addWidget(line_panel_);
  warning_ = new QLabel(this);
  warning_->setStyleSheet(QStringLiteral("color: rgb(196,32,32); font-weight: bold;"));
  warning_->setWordWrap(true);
  warning_->hide();
  layout->addWidget(warning_);
  layout->addWidget(station_look::Heading(QStringLiteral("Slots"), this));
  layout->addWidget(slots_, 1);
}

QWidget* StationWindow::CreateTitleBand() {
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
  return band;
}

// The old station, if any, is idle (every caller checks); its slots come
// back in the new one, the file loaded before any of them can serve.
bool StationWindow::BuildStation(const QString& file) {
  std::vector<SlotSpec> specs = settings_.slot_specs;
  if (station_) {
    specs = station_->specs();
    for (const StationEvent& event : station_->StopAll()) Tell(event);
    station_.reset();  // a database pool's name is claimed by one station at a time
  }
  const StationChoice choice = settings_.ChoiceFor(file, secret_);
  StationSettings settings = SettingsFor(choice);
  settings.session.receive_nice = kReceiveNice;
  station_ = std::make_unique<Station>(std::move(settings), [this] { Wake(); });
  const bool loaded = choice.key_pool.empty() ? LoadFile(choice) : UseKeyPool(choice);
  OpenRecords(choice);
  std::string error;
  for (const SlotSpec& spec : specs) station_->AddSlot(spec, error);  // checked when they came
  slots_->SetStation(station_.get());
  ShowFileState();
  return loaded;
}

bool StationWindow::LoadFile(const StationChoice& choice) {
  const QString path = QString::fromStdString(choice.file);
  file_panel_->ShowPath(path);
  if (path.isEmpty()) {
    file_error_ = QStringLiteral("No file chosen: the boxes get nothing");
    return false;
  }
  QStringList warnings;
  const auto warn = [&](const std::string& warning) {
    Say(QStringLiteral("warning: ") + QString::fromStdString(warning));
    warnings << QString::fromStdString(warning);
  };
  std::string error;
  const bool loaded = ServeFile(*station_, choice, warn, error);
  file_panel_->ShowPath(path, warnings.join(QLatin1Char('\n')));
  if (!loaded) {
    file_error_ = QString::fromStdString(error);
    Say(file_error_);
    return false;
  }
  file_error_.clear();
  Say(QStringLiteral("serving ") + QString::fromStdString(IdentityText(station_->image())));
  if (secret_ && !station_->image_locked()) Say(QString::fromLatin1(kKeyNotLockedLine));
  return true;
}

// Keys are loaded one by one as units start; the window shows what is left.
bool StationWindow::UseKeyPool(const StationChoice& choice) {
  file_panel_->ShowPath(settings_.key_pool);
  std::string error;
  const auto warn = [this](const std::string& warning) {
    Say(QStringLiteral("warning: ") + QString::fromStdString(warning));
  };
  if (!ServeKeyPool(*station_, choice, warn, error)) {
    file_error_ = QString::fromStdString(error);
    Say(file_error_);
    return false;
  }
  file_error_.clear();
  Say(QStringLiteral("serving keys from %1 (%2 ready)")
          .arg(settings_.key_pool)
          .arg(station_->PoolCounts().ready));
  return true;
}

void StationWindow::OpenRecords(const StationChoice& choice) {
  record_error_.clear();
  std::string error;
  switch (RecordTo(*station_, choice, error)) {
    case RecordOpen::kOk:
      return;
    case RecordOpen::kFileFailed:
      record_error_ = QStringLiteral("Units are not recorded: cannot open %1: %2")
                          .arg(settings_.record_path, QString::fromStdString(error));
      break;
    case RecordOpen::kRefused:
      record_error_ = QStringLiteral("Units are not recorded: ") + QString::fromStdString(error);
      break;
  }
  Say(record_error_);
}

void StationWindow::Start() {
  elapsed_.start();
  since_refresh_.start();
  slots_->SetDevices(ListSerialDevices());
  secret_ = IsKeyKind(settings_.kind) || !settings_.key_pool.isEmpty();
  line_panel_->ShowRecord(settings_.record_path);
  line_panel_->ShowLine(settings_.line);
  file_panel_->CheckKind(settings_.kind, !settings_.key_pool.isEmpty());
  BuildStation(*settings_.PathOf(settings_.kind));
  Say(QStringLiteral("station started with %1 slot(s)").arg(rowCount()));
  tick_timer_->start();
  Service();
  Refresh();
}

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
  if (since >= kServiceSpacingMs) return Service();
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
  halves_due_ = 2;
  if (refresh_timer_->isActive()) return;
  refresh_timer_->start(
      static_cast<int>(std::max<qint64>(0, kRefreshTickMs - since_refresh_.elapsed())));
}

void StationWindow::RefreshHalf() {
  Refresh(next_half_);
  next_half_ ^= 1;
  if (--halves_due_ > 0) refresh_timer_->start(kRefreshTickMs);
}

void StationWindow::Refresh(int half) {
  since_refresh_.restart();
  if (!station_) return;
  // What changes the file or the ports waits for every slot to be idle.
  const bool busy = slots_->Refresh(half);
  file_panel_->SetBusy(busy);
  line_panel_->setEnabled(!busy);
  ShowTotals();
}

void StationWindow::ShowTotals() {
  const QString text = slots_->TotalsText(elapsed_.elapsed());
  if (totals_->text() != text) totals_->setText(text);
}

void StationWindow::Tell(const StationEvent& event) {
  switch (event.kind) {
    case StationEvent::Kind::kNotice:
    case StationEvent::Kind::kUnitEnded:  // on disk already
      slots_->Tell(event, ended_);
      break;
    case StationEvent::Kind::kRecordFailed:
      slots_->Tell(event, ended_);
      record_error_ = QString::fromStdString(event.error);
      Say(record_error_, QString::fromStdString(event.record.slot));
      ShowFileState();
      break;
    case StationEvent::Kind::kStateChanged:
      break;  // the rows show it at the next refresh
    case StationEvent::Kind::kKeyPool:
      Say(QString::fromStdString(event.text));
      break;
  }
  if (event.kind == StationEvent::Kind::kUnitEnded || event.kind == StationEvent::Kind::kKeyPool)
    ShowPoolCounts();
}

bool StationWindow::IdleFor(const QString& what) {
  if (!AnyUnitInProgress()) return true;
  Say(what + QStringLiteral(" waits until no unit is in progress; nothing changed"));
  return false;
}

bool StationWindow::SelectFile(std::uint32_t kind, const QString& path) {
  QString* stored = settings_.PathOf(kind);
  const bool pool = !settings_.key_pool.isEmpty();
  if (!stored || !IdleFor(QStringLiteral("Changing the file"))) {
    file_panel_->CheckKind(settings_.kind, pool);
    return false;
  }
  const QString chosen = path.isEmpty() ? *stored : path;
  settings_.kind = kind;
  settings_.key_pool.clear();
  file_panel_->CheckKind(kind, false);
  bool loaded = false;
  if (IsKeyKind(kind) != secret_ || pool) {
    secret_ = IsKeyKind(kind);  // a key is loaded into locked memory: a new station
    loaded = BuildStation(chosen);
  } else {
    loaded = LoadFile(settings_.ChoiceFor(chosen, secret_));
    // The old file must not go on being served as if it were the new one.
    if (!loaded && station_->has_image()) {
      const QString error = file_error_;
      BuildStation(QString());
      file_error_ = error;
      file_panel_->ShowPath(chosen);
    }
  }
  if (loaded) *stored = chosen;
  ShowFileState();
  return loaded;
}

bool StationWindow::SelectKeyPool(const QString& pool) {
  if (!IdleFor(QStringLiteral("Changing to a key pool"))) return false;
  settings_.key_pool = pool;
  secret_ = true;
  file_panel_->CheckKind(settings_.kind, true);
  const bool used = BuildStation(QString());
  if (!used) settings_.key_pool.clear();  // the next start serves the file again
  ShowFileState();
  return used;
}

bool StationWindow::SetRecordPath(const QString& target) {
  if (!IdleFor(QStringLiteral("Changing the record file"))) {
    line_panel_->ShowRecord(settings_.record_path);
    return false;
  }
  settings_.record_path = target.trimmed();
  line_panel_->ShowRecord(settings_.record_path);
  station_->StopRecording();
  record_error_.clear();
  if (settings_.record_path.isEmpty()) {
    Say(QStringLiteral("units are no longer recorded"));
  } else {
    OpenRecords(settings_.ChoiceFor(QString(), secret_));
    if (record_error_.isEmpty()) Say(QStringLiteral("units are recorded in ") + settings_.record_path);
  }
  ShowFileState();
  return record_error_.isEmpty();
}

bool StationWindow::SetLine(const LineSettings& line) {
  std::string error;
  if (!station_->SetLine(line, error)) {
    if (ValidateLineSettings(line) == 0)
      IdleFor(QStringLiteral("Changing the line settings"));
    else
      Say(QStringLiteral("line settings refused: ") + QString::fromStdString(error));
    line_panel_->ShowLine(settings_.line);
    return false;
  }
  settings_.line = line;
  line_panel_->ShowLine(line);
  Say(QStringLiteral("every port reopened at %1 baud").arg(line.baud));
  return true;
}

void StationWindow::ShowFileState() {
  if (station_ && station_->key_pool() && file_error_.isEmpty()) {
    ShowPoolCounts();
  } else if (station_ && station_->has_image() && file_error_.isEmpty()) {
    file_panel_->ShowIdentity(station_->image());
  } else {
    file_panel_->ShowNothingServed(file_error_);
  }
  QStringList warnings;
  if (!file_error_.isEmpty()) warnings << file_error_;
  if (!record_error_.isEmpty()) warnings << record_error_;
  warning_->setText(warnings.join(QLatin1Char('\n')));
  warning_->setVisible(!warnings.isEmpty());
}

void StationWindow::ShowPoolCounts() {
  if (!station_ || !station_->key_pool() || !file_error_.isEmpty()) return;
  file_panel_->ShowKeys(station_->PoolCounts(), settings_.key_pool);
}

LogWindow* StationWindow::OpenLog(const QString& slot) {
  auto* window = new LogWindow(log_, this);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->SetSlotFilter(slot);  // and the title that says which slot
  window->show();
  return window;
}

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

void StationWindow::End() {
  if (ended_) return;
  ended_ = true;
  for (QTimer* timer : {service_timer_, refresh_timer_, tick_timer_}) timer->stop();
  if (station_) {
    for (const StationEvent& event : station_->StopAll()) Tell(event);
    Refresh();
  }
  Say(QStringLiteral("station stopped: %1 passed, %2 failed")
          .arg(slots_->tally().passed)
          .arg(slots_->tally().failed));
  SaveSettings();
  emit finished();
  close();
}

void StationWindow::SaveSettings() {
  if (station_) settings_.slot_specs = station_->specs();
  settings_.Save();
}

void StationWindow::closeEvent(QCloseEvent* event) {
  End();
  event->accept();
}

void StationWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QLinearGradient band(0, 0, 0, kTitleBandHeight);
  band.setColorAt(0, station_look::kNavyLight);
  band.setColorAt(1, station_look::kNavy);
  painter.fillRect(QRect(0, 0, width(), kTitleBandHeight), band);
  // The window's own icon, made once: the pixmap cache then holds one copy
  // of it, and no paint decodes images.
  windowIcon().paint(&painter, QRect(12, 6, 32, 32));
}

// Lines quote file, device and slot names: escaped, they stay one line.
void StationWindow::Say(const QString& text, const QString& slot) {
  const auto printable = [](const QString& t) {
    return QString::fromStdString(PrintableText(t.toStdString()));
  };
  log_.Append(printable(text), printable(slot));
}

}  // namespace ternis
