#include "station/box_session.h"

#include <algorithm>
#include <ctime>
#include <utility>

namespace ternis {

const char* SlotStateName(SlotState state) {
  switch (state) {
    case SlotState::kClosed:
      return "closed";
    case SlotState::kWaitingForDevice:
      return "waiting for device";
    case SlotState::kConnected:
      return "connected";
    case SlotState::kBooted:
      return "booted";
    case SlotState::kServing:
      return "serving";
    case SlotState::kWriting:
      return "writing";
    case SlotState::kPassed:
      return "passed";
    case SlotState::kFailed:
      return "failed";
    case SlotState::kAborted:
      return "aborted";
    case SlotState::kWaitingForKey:
      return "waiting for a key";
  }
  return "";
}

BoxSession::BoxSession(SessionObserver* observer, SessionOptions options, SessionClock clock)
    : observer_(observer),
      options_(options),
      clock_(std::move(clock)),
      link_(*this, options),
      ledger_(options.unit_timeout, engine_.image()) {
  engine_.SetWriter(&writer_);
  engine_.SetSink(this);
  SerialPort& port = link_.port();
  port.SetWriter(&writer_);
  port.SetFrameHandler([this](std::span<const std::uint8_t> body) { engine_.HandleFrame(body); });
  port.SetListener(this);
}

BoxSession::~BoxSession() {
  Stop();
  engine_.SetSink(nullptr);
  link_.port().SetListener(nullptr);
}

template <typename Count>
bool BoxSession::Counted(Count count) {
  std::lock_guard lock(mutex_);
  count(ledger_);
  return ViewChangedLocked();
}

// --- the link ---

void BoxSession::SetPortPaths(std::map<std::string, std::string> paths) {
  link_.port().SetPortPaths(std::move(paths));
}

void BoxSession::Stop() {
  link_.Close();
  std::shared_ptr<const ImageSnapshot> unused;
  const bool changed = Counted([&](UnitLedger& ledger) { unused = ledger.Abort(Now()); });
  if (UnitImageSource* source = source_.load(); source && unused)
    source->GiveBack(std::move(unused));
  NotifyChanged(changed);
}

// The receive thread may be waiting on the owner's thread (the window's
// sends): the observer lets it go before the port joins it.
void BoxSession::OnLinkClosing() {
  if (SessionObserver* observer = observer_.load()) observer->OnLinkClosing();
}

void BoxSession::OnLinkClosed() {
  if (SessionObserver* observer = observer_.load()) observer->OnLinkClosed();
}

void BoxSession::OnLinkNotice(SessionNotice notice) {
  std::lock_guard lock(mutex_);
  ledger_.QueueNotice(std::move(notice));
}

void BoxSession::OnLinkChanged() {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    changed = ViewChangedLocked();
  }
  NotifyChanged(changed);
}

// --- the image ---

bool BoxSession::LoadImageFile(const std::string& path, bool secret) {
  const bool loaded = engine_.LoadImageFile(path, secret);
  TrackImage();
  return loaded;
}

void BoxSession::AdoptImage(std::shared_ptr<const ImageSnapshot> image) {
  engine_.image().Adopt(std::move(image));
  TrackImage();
}

void BoxSession::TrackImage() {
  std::lock_guard lock(mutex_);
  ledger_.TrackServedImage();
}

void BoxSession::AdoptImageForNextUnit(std::shared_ptr<const ImageSnapshot> image) {
  std::lock_guard lock(mutex_);
  ledger_.ServeFromNextUnit(std::move(image));
}

void BoxSession::SetImageSource(UnitImageSource* source) {
  source_.store(source);
  std::lock_guard lock(mutex_);
  ledger_.SetOwnImages(source != nullptr);
}

// A boot-up announced again before any data keeps its unit's image; any
// other takes a new one, and one taken for a boot-up whose acknowledgement
// failed waits for the next.
bool BoxSession::BeforeBootUp() {
  UnitImageSource* source = source_.load();
  if (!source) return true;
  {
    std::lock_guard lock(mutex_);
    if (!ledger_.NeedsImageForBootUp()) return true;
  }
  return TakeUnitImage(*source);
}

// Data outside a unit starts one (a box already running): with an image of its own.
bool BoxSession::BeforeData() {
  UnitImageSource* source = source_.load();
  if (!source) return true;
  {
    std::lock_guard lock(mutex_);
    if (ledger_.LetDataIntoUnit()) return true;
  }
  if (!TakeUnitImage(*source)) return false;
  std::lock_guard lock(mutex_);
  ledger_.LetDataStartUnit();
  return true;
}

bool BoxSession::TakeUnitImage(UnitImageSource& source) {
  {
    std::lock_guard lock(mutex_);
    if (ledger_.has_unit_image()) return true;
  }
  auto image = source.TakeImage();
  const bool taken = image != nullptr;
  NotifyChanged(Counted([&](UnitLedger& ledger) { ledger.SetUnitImage(std::move(image)); }));
  return taken;
}

// --- the owner's loop ---

void BoxSession::Service() {
  const Instant now = Now();
  link_.Service(now.steady);
  NotifyChanged(Counted([&](UnitLedger& ledger) { ledger.CheckTimeout(now); }));
}

std::optional<SteadyTime> BoxSession::NextService() const {
  std::optional<SteadyTime> next = link_.NextRetry();
  std::lock_guard lock(mutex_);
  if (const auto deadline = ledger_.tracker().Deadline())
    next = next ? std::min(*next, *deadline) : *deadline;
  return next;
}

SessionSnapshot BoxSession::Snapshot() const {
  std::lock_guard lock(mutex_);
  const UnitTracker& tracker = ledger_.tracker();
  SessionSnapshot s;
  s.state = StateLocked();
  s.device = link_.device();
  s.unit = tracker.unit_number();
  s.percent = tracker.percent();
  s.covered = tracker.covered();
  s.image_size = tracker.image_size();
  s.bytes_served = tracker.bytes_served();
  s.requests = tracker.requests();
  s.unit_started = tracker.unit_started();
  s.last_result = ledger_.last_result();
  s.passed = ledger_.tally().passed;
  s.failed = ledger_.tally().failed;
  s.aborted = ledger_.tally().aborted;
  s.problem = link_.problem();
  s.problem_error = link_.problem_error();
  return s;
}

std::vector<UnitResult> BoxSession::TakeResults() {
  std::lock_guard lock(mutex_);
  return ledger_.TakeResults();
}

std::vector<SessionNotice> BoxSession::TakeNotices() {
  std::lock_guard lock(mutex_);
  return ledger_.TakeNotices();
}

// --- the receive thread ---

// Date and time from the same instant, so a request at midnight can never
// pair one day's date with the next day's 00:00:00.
DateTimeCode BoxSession::TimeForReply() {
  const std::time_t now = std::chrono::system_clock::to_time_t(clock_.wall());
  std::tm local{};
  localtime_r(&now, &local);
  return DateTimeCodeFor(local);
}

void BoxSession::OnBootUp(const BootUpEvent& event) {
  const bool changed = Counted([&](UnitLedger& ledger) { ledger.OnBootUp(event, Now()); });
  if (SessionObserver* observer = observer_.load()) observer->OnBootUp(event);
  NotifyChanged(changed);
}

void BoxSession::OnDataServed(const DataServedEvent& event) {
  const bool changed = Counted([&](UnitLedger& ledger) { ledger.OnDataServed(event, Now()); });
  if (SessionObserver* observer = observer_.load()) observer->OnDataServed(event);
  NotifyChanged(changed);
}

void BoxSession::OnNoImage(const NoImageEvent& event) {
  const bool changed = Counted([&](UnitLedger& ledger) { ledger.OnNoImage(Now()); });
  if (SessionObserver* observer = observer_.load()) observer->OnNoImage(event);
  NotifyChanged(changed);
}

void BoxSession::OnTimeServed(const TimeServedEvent& event) {
  const bool changed = Counted([&](UnitLedger& ledger) { ledger.OnTimeServed(event, Now()); });
  if (SessionObserver* observer = observer_.load()) observer->OnTimeServed(event);
  NotifyChanged(changed);
}

// Said once: the thread ends after this, and Service releases the port.
void BoxSession::OnDeviceLost(int error) {
  Counted([&](UnitLedger& ledger) { ledger.OnDeviceLost(error, Now()); });
  if (SessionObserver* observer = observer_.load()) observer->OnDeviceLost(error);
  link_.LossTold();
  NotifyChanged(true);
}

// --- the view ---

SlotState BoxSession::StateLocked() const {
  switch (ledger_.tracker().phase()) {
    case UnitPhase::kBooted:
      return SlotState::kBooted;
    case UnitPhase::kServing:
      return SlotState::kServing;
    case UnitPhase::kWriting:
      return SlotState::kWriting;
    case UnitPhase::kIdle:
      break;
  }
  const LinkKeeper::State link = link_.state();
  if (link == LinkKeeper::State::kWaiting) return SlotState::kWaitingForDevice;
  if (ledger_.waiting_for_image() && link == LinkKeeper::State::kOpen)
    return SlotState::kWaitingForKey;
  if (const auto& last = ledger_.last_result()) {
    switch (last->outcome) {
      case UnitOutcome::kPass:
        return SlotState::kPassed;
      case UnitOutcome::kFail:
        return SlotState::kFailed;
      case UnitOutcome::kAborted:
        return SlotState::kAborted;
    }
  }
  return link == LinkKeeper::State::kOpen ? SlotState::kConnected : SlotState::kClosed;
}

bool BoxSession::ViewChangedLocked() {
  const ViewKey now{StateLocked(), ledger_.tracker().percent()};
  // Queued news counts once, not on every request until it is taken.
  const bool news = ledger_.NewsToTell();
  if (now == shown_ && !news) return false;
  shown_ = now;
  return true;
}

void BoxSession::NotifyChanged(bool changed) {
  if (!changed) return;
  if (SessionObserver* observer = observer_.load()) observer->OnChanged();
}

}  // namespace ternis
