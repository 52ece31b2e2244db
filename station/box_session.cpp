#include "station/box_session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
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
      tracker_(options.unit_timeout) {
  engine_.SetWriter(&writer_);
  engine_.SetSink(this);
  port_.SetWriter(&writer_);
  port_.SetFrameHandler([this](std::span<const std::uint8_t> body) { engine_.HandleFrame(body); });
  port_.SetListener(this);
}

BoxSession::~BoxSession() {
  Stop();
  engine_.SetSink(nullptr);
  port_.SetListener(nullptr);
}

// --- the link ---

void BoxSession::SetPortPaths(std::map<std::string, std::string> paths) {
  port_.SetPortPaths(std::move(paths));
}

bool BoxSession::OpenIndex(int index) {
  ForgetLoss();
  if (!port_.Open(index)) return false;
  SetLink(Link::kOpen);
  return true;
}

bool BoxSession::OpenPath(const std::string& path) {
  ForgetLoss();
  if (!port_.OpenPath(path)) return false;
  SetLink(Link::kOpen);
  return true;
}

bool BoxSession::Configure(const LineSettings& line) {
  if (port_.Configure(line)) {
    std::lock_guard lock(mutex_);
    device_ = port_.device_path();
    line_ = line;
    reopen_ = true;  // it worked: worth opening again if it goes away
    return true;
  }
  if (port_.line_state_unreadable()) {
    const std::string status = port_.GetLastStatus();
    const int error = port_.GetLastError();
    Close();
    port_.SetLastStatus(error, status);  // the reason, not "Disconnected"
  }
  return false;
}

bool BoxSession::KeepForReopen(const LineSettings& line) {
  std::lock_guard lock(mutex_);
  if (!reopen_ || (link_ != Link::kWaiting && !port_.IsDeviceLost())) return false;
  line_ = line;
  return true;
}

void BoxSession::Close() {
  {
    std::lock_guard lock(mutex_);
    reopen_ = false;
  }
  CloseThroughObserver();
  SetLink(Link::kClosed);
}

// The receive thread may be waiting on the owner's thread (the window's
// sends): the observer lets it go before the port joins it.
void BoxSession::CloseThroughObserver() {
  if (SessionObserver* observer = observer_.load()) observer->OnLinkClosing();
  port_.Close();
  if (SessionObserver* observer = observer_.load()) observer->OnLinkClosed();
}

bool BoxSession::Connect(const std::string& path, const LineSettings& line) {
  {
    std::lock_guard lock(mutex_);
    device_ = path;
  }
  if (OpenAndConfigure(path, line)) return true;
  const std::string failure = OpenFailure();
  {
    std::lock_guard lock(mutex_);
    line_ = line;
    reopen_ = options_.wait_for_missing;
    next_retry_ = clock_.steady() + RetryInterval(port_.GetLastError());
    QueueNoticeLocked(CannotOpen(failure));
    failure_told_ = failure;
  }
  SetLink(reopen_ ? Link::kWaiting : Link::kClosed, failure);
  return false;
}

bool BoxSession::OpenAndConfigure(const std::string& path, const LineSettings& line) {
  configure_failed_ = false;
  if (!OpenPath(path)) return false;
  if (Configure(line)) return true;
  configure_failed_ = true;
  const std::string status = port_.GetLastStatus();
  const int error = port_.GetLastError();
  CloseThroughObserver();
  port_.SetLastStatus(error, status);
  return false;
}

void BoxSession::Stop() {
  CloseThroughObserver();
  std::shared_ptr<const ImageSnapshot> unused;
  {
    std::lock_guard lock(mutex_);
    reopen_ = false;
    Record(tracker_.Abort(Now()));
    unused = std::move(unit_image_);
    unit_image_.reset();
    waiting_for_image_ = false;
  }
  if (UnitImageSource* source = source_.load(); source && unused)
    source->GiveBack(std::move(unused));
  SetLink(Link::kClosed);
}

void BoxSession::SetLink(Link link, std::string problem) {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    link_ = link;
    problem_error_ = problem.empty() ? 0 : port_.GetLastError();
    problem_ = std::move(problem);
    changed = ViewChangedLocked();
  }
  NotifyChanged(changed);
}

SessionNotice BoxSession::CannotOpen(const std::string& failure) const {
  SessionNotice notice{NoticeKind::kCannotOpen, failure, port_.GetLastError()};
  notice.configuring = configure_failed_;
  return notice;
}

std::chrono::milliseconds BoxSession::RetryInterval(int error) const {
  return error == ENOENT || error == ENODEV || error == ENXIO ? options_.retry_interval
                                                               : options_.retry_after_error;
}

std::string BoxSession::OpenFailure() const {
  std::string text = port_.GetLastStatus();
  if (port_.GetLastError() != 0) text += std::string(" (") + std::strerror(port_.GetLastError()) + ")";
  return text;
}

void BoxSession::ForgetLoss() {
  std::lock_guard lock(mutex_);
  loss_told_ = false;
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

void BoxSession::AdoptImageForNextUnit(std::shared_ptr<const ImageSnapshot> image) {
  std::lock_guard lock(mutex_);
  pending_image_ = std::move(image);
  if (!tracker_.in_unit()) AdoptPendingLocked();
}

void BoxSession::AdoptPendingLocked() {
  if (!pending_image_) return;
  tracker_.SetImage(pending_image_->id(), pending_image_->contents().size());
  engine_.image().Adopt(std::move(pending_image_));
  pending_image_.reset();
}

void BoxSession::TrackImage() {
  const auto image = engine_.image().Acquire();
  std::lock_guard lock(mutex_);
  if (image) {
    tracker_.SetImage(image->id(), image->contents().size());
  } else {
    tracker_.ClearImage();
  }
}

// A boot-up announced again before any data keeps its unit's image; any
// other takes a new one, and one taken for a boot-up whose acknowledgement
// failed waits for the next.
bool BoxSession::BeforeBootUp() {
  UnitImageSource* source = source_.load();
  if (!source) return true;
  {
    std::lock_guard lock(mutex_);
    if (unit_image_) return true;
    if (tracker_.phase() == UnitPhase::kBooted && tracker_.requests() == 0) return true;
  }
  return TakeUnitImage(*source);
}

// Data outside a unit starts one (a box already running): with an image of its own.
bool BoxSession::BeforeData() {
  UnitImageSource* source = source_.load();
  if (!source) return true;
  {
    std::lock_guard lock(mutex_);
    if (tracker_.in_unit()) {
      data_let_through_ = true;
      return true;
    }
  }
  if (!TakeUnitImage(*source)) return false;
  std::lock_guard lock(mutex_);
  AdoptUnitImageLocked();
  data_let_through_ = true;
  return true;
}

bool BoxSession::TakeUnitImage(UnitImageSource& source) {
  {
    std::lock_guard lock(mutex_);
    if (unit_image_) return true;
  }
  auto image = source.TakeImage();
  bool changed;
  {
    std::lock_guard lock(mutex_);
    waiting_for_image_ = !image;
    if (image) unit_image_ = std::move(image);
    changed = ViewChangedLocked();
  }
  NotifyChanged(changed);
  return !waiting_for_image_;
}

void BoxSession::AdoptUnitImageLocked() {
  if (!unit_image_) return;
  tracker_.SetImage(unit_image_->id(), unit_image_->contents().size());
  engine_.image().Adopt(std::move(unit_image_));
  unit_image_.reset();
}

// --- the owner's loop ---

void BoxSession::Service() {
  const Instant now = Now();
  bool loss_told;
  {
    std::lock_guard lock(mutex_);
    loss_told = loss_told_;
  }
  // Only once the receive thread has told the observer: releasing the port
  // earlier would make the observer's window give that up half-told.
  if (port_.IsDeviceLost() && loss_told) {
    CloseThroughObserver();  // release the dead descriptor at once
    std::lock_guard lock(mutex_);
    next_retry_ = now.steady + options_.retry_interval;
  }
  bool waiting;
  {
    std::lock_guard lock(mutex_);
    if (!port_.IsConnected() && link_ == Link::kOpen) {
      link_ = reopen_ ? Link::kWaiting : Link::kClosed;
      problem_ = "device lost";
      problem_error_ = ENODEV;
    }
    waiting = link_ == Link::kWaiting && now.steady >= next_retry_;
  }
  if (waiting) TryReopen(now);
  bool changed;
  {
    std::lock_guard lock(mutex_);
    Record(tracker_.CheckTimeout(now));
    changed = ViewChangedLocked();
  }
  NotifyChanged(changed);
}

void BoxSession::TryReopen(Instant now) {
  std::string device;
  LineSettings line;
  {
    std::lock_guard lock(mutex_);
    if (!line_) return;
    device = device_;
    line = *line_;
  }
  if (OpenAndConfigure(device, line)) {
    {
      std::lock_guard lock(mutex_);
      QueueNoticeLocked({NoticeKind::kConnected, port_.GetLastStatus()});
      failure_told_.clear();
    }
    SetLink(Link::kOpen);
    return;
  }
  const std::string failure = OpenFailure();
  {
    std::lock_guard lock(mutex_);
    next_retry_ = now.steady + RetryInterval(port_.GetLastError());
    // Compared with what was said, not with problem_: the attempt itself
    // clears that when the device opens but is no terminal.
    if (failure != failure_told_) QueueNoticeLocked(CannotOpen(failure));
    failure_told_ = failure;
  }
  SetLink(Link::kWaiting, failure);
}

std::optional<SteadyTime> BoxSession::NextService() const {
  std::lock_guard lock(mutex_);
  std::optional<SteadyTime> next = tracker_.Deadline();
  if (link_ == Link::kWaiting && line_) next = next ? std::min(*next, next_retry_) : next_retry_;
  return next;
}

SessionSnapshot BoxSession::Snapshot() const {
  std::lock_guard lock(mutex_);
  SessionSnapshot s;
  s.state = StateLocked();
  s.device = device_;
  s.unit = tracker_.unit_number();
  s.percent = tracker_.percent();
  s.covered = tracker_.covered();
  s.image_size = tracker_.image_size();
  s.bytes_served = tracker_.bytes_served();
  s.requests = tracker_.requests();
  s.unit_started = tracker_.unit_started();
  s.last_result = last_result_;
  s.passed = tally_.passed;
  s.failed = tally_.failed;
  s.aborted = tally_.aborted;
  s.problem = problem_;
  s.problem_error = problem_error_;
  return s;
}

std::vector<UnitResult> BoxSession::TakeResults() {
  std::lock_guard lock(mutex_);
  results_told_ = 0;
  return std::exchange(results_, {});
}

std::vector<SessionNotice> BoxSession::TakeNotices() {
  std::lock_guard lock(mutex_);
  notices_told_ = 0;
  return std::exchange(notices_, {});
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
  bool changed;
  {
    std::lock_guard lock(mutex_);
    const std::uint64_t before = tracker_.unit_number();
    if (event.ack == WriteStatus::kOk) {  // a new unit is starting
      AdoptPendingLocked();
      AdoptUnitImageLocked();
    }
    Record(tracker_.OnBootUp(event, Now()));
    if (tracker_.unit_number() != before)
      QueueNoticeLocked({NoticeKind::kUnitStarted, "box booted", 0, tracker_.unit_number()});
    changed = ViewChangedLocked();
  }
  if (SessionObserver* observer = observer_.load()) observer->OnBootUp(event);
  NotifyChanged(changed);
}

void BoxSession::OnDataServed(const DataServedEvent& event) {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    const std::uint64_t before = tracker_.unit_number();
    std::optional<UnitResult> ended = tracker_.OnDataServed(event, Now());
    // A unit's first request may also end it (a failed write): start first.
    if (tracker_.unit_number() != before) {
      QueueNoticeLocked(
          {NoticeKind::kUnitStarted, "box already running", 0, tracker_.unit_number()});
    }
    Record(std::move(ended));
    changed = ViewChangedLocked();
  }
  if (SessionObserver* observer = observer_.load()) observer->OnDataServed(event);
  NotifyChanged(changed);
}

void BoxSession::OnNoImage(const NoImageEvent& event) {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    Record(tracker_.OnNoImage(Now()));
    changed = ViewChangedLocked();
  }
  if (SessionObserver* observer = observer_.load()) observer->OnNoImage(event);
  NotifyChanged(changed);
}

void BoxSession::OnTimeServed(const TimeServedEvent& event) {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    Record(tracker_.OnTimeServed(event, Now()));
    changed = ViewChangedLocked();
  }
  if (SessionObserver* observer = observer_.load()) observer->OnTimeServed(event);
  NotifyChanged(changed);
}

// Said once: the thread ends after this, and Service releases the port.
void BoxSession::OnDeviceLost(int error) {
  {
    std::lock_guard lock(mutex_);
    Record(tracker_.OnDeviceLost(Now()));
    waiting_for_image_ = false;  // whatever boots next on this line asks afresh
    QueueNoticeLocked({NoticeKind::kDeviceLost,
                       std::string("device lost (") + std::strerror(error) + ")", error});
    ViewChangedLocked();
  }
  if (SessionObserver* observer = observer_.load()) observer->OnDeviceLost(error);
  {
    std::lock_guard lock(mutex_);
    loss_told_ = true;
  }
  NotifyChanged(true);
}

// --- bookkeeping ---

void BoxSession::Record(std::optional<UnitResult> result) {
  if (!result) return;
  // A unit's own image ends with it: nothing of it is served again.
  if (source_.load()) {
    const auto image = engine_.image().Acquire();
    if (image && image->id() == result->image_id) {
      engine_.image().Clear();
      tracker_.ClearImage();
    }
  }
  result->sequence = ++sequence_;
  result->data_let_through = std::exchange(data_let_through_, false);
  tally_.Count(result->outcome);
  last_result_ = *result;
  results_.push_back(std::move(*result));
  AdoptPendingLocked();
}

void BoxSession::QueueNoticeLocked(SessionNotice notice) {
  notice.sequence = ++sequence_;
  notices_.push_back(std::move(notice));
}

SlotState BoxSession::StateLocked() const {
  switch (tracker_.phase()) {
    case UnitPhase::kBooted:
      return SlotState::kBooted;
    case UnitPhase::kServing:
      return SlotState::kServing;
    case UnitPhase::kWriting:
      return SlotState::kWriting;
    case UnitPhase::kIdle:
      break;
  }
  if (link_ == Link::kWaiting) return SlotState::kWaitingForDevice;
  if (waiting_for_image_ && link_ == Link::kOpen) return SlotState::kWaitingForKey;
  if (last_result_) {
    switch (last_result_->outcome) {
      case UnitOutcome::kPass:
        return SlotState::kPassed;
      case UnitOutcome::kFail:
        return SlotState::kFailed;
      case UnitOutcome::kAborted:
        return SlotState::kAborted;
    }
  }
  return link_ == Link::kOpen ? SlotState::kConnected : SlotState::kClosed;
}

bool BoxSession::ViewChangedLocked() {
  const ViewKey now{StateLocked(), tracker_.percent()};
  // Queued news counts once, not on every request until it is taken.
  const bool news = results_.size() > results_told_ || notices_.size() > notices_told_;
  if (now == shown_ && !news) return false;
  shown_ = now;
  results_told_ = results_.size();
  notices_told_ = notices_.size();
  return true;
}

void BoxSession::NotifyChanged(bool changed) {
  if (!changed) return;
  if (SessionObserver* observer = observer_.load()) observer->OnChanged();
}

}  // namespace ternis
