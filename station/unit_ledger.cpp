#include "station/unit_ledger.h"

#include <cstring>
#include <string>
#include <utility>

namespace ternis {

// --- images ---

void UnitLedger::TrackServedImage() {
  if (const auto image = served_.Acquire()) {
    tracker_.SetImage(image->id(), image->contents().size());
  } else {
    tracker_.ClearImage();
  }
}

void UnitLedger::ServeFromNextUnit(std::shared_ptr<const ImageSnapshot> image) {
  pending_image_ = std::move(image);
  if (!tracker_.in_unit()) AdoptPending();
}

bool UnitLedger::NeedsImageForBootUp() const {
  if (unit_image_) return false;
  return !(tracker_.phase() == UnitPhase::kBooted && tracker_.requests() == 0);
}

void UnitLedger::SetUnitImage(std::shared_ptr<const ImageSnapshot> image) {
  waiting_for_image_ = !image;
  if (image) unit_image_ = std::move(image);
}

bool UnitLedger::LetDataIntoUnit() {
  if (!tracker_.in_unit()) return false;
  data_let_through_ = true;
  return true;
}

void UnitLedger::LetDataStartUnit() {
  AdoptUnitImage();
  data_let_through_ = true;
}

void UnitLedger::AdoptPending() {
  if (!pending_image_) return;
  tracker_.SetImage(pending_image_->id(), pending_image_->contents().size());
  served_.Adopt(std::move(pending_image_));
  pending_image_.reset();
}

void UnitLedger::AdoptUnitImage() {
  if (!unit_image_) return;
  tracker_.SetImage(unit_image_->id(), unit_image_->contents().size());
  served_.Adopt(std::move(unit_image_));
  unit_image_.reset();
}

// --- what the engine did ---

void UnitLedger::OnBootUp(const BootUpEvent& event, Instant now) {
  const std::uint64_t before = tracker_.unit_number();
  if (event.ack == WriteStatus::kOk) {  // a new unit is starting
    AdoptPending();
    AdoptUnitImage();
  }
  Record(tracker_.OnBootUp(event, now));
  if (tracker_.unit_number() != before)
    QueueNotice({NoticeKind::kUnitStarted, "box booted", 0, tracker_.unit_number()});
}

void UnitLedger::OnDataServed(const DataServedEvent& event, Instant now) {
  const std::uint64_t before = tracker_.unit_number();
  std::optional<UnitResult> ended = tracker_.OnDataServed(event, now);
  // A unit's first request may also end it (a failed write): start first.
  if (tracker_.unit_number() != before)
    QueueNotice({NoticeKind::kUnitStarted, "box already running", 0, tracker_.unit_number()});
  Record(std::move(ended));
}

void UnitLedger::OnNoImage(Instant now) {
  Record(tracker_.OnNoImage(now));
}

void UnitLedger::OnTimeServed(const TimeServedEvent& event, Instant now) {
  Record(tracker_.OnTimeServed(event, now));
}

void UnitLedger::OnDeviceLost(int error, Instant now) {
  Record(tracker_.OnDeviceLost(now));
  waiting_for_image_ = false;  // whatever boots next on this line asks afresh
  QueueNotice(
      {NoticeKind::kDeviceLost, std::string("device lost (") + std::strerror(error) + ")", error});
}

void UnitLedger::CheckTimeout(Instant now) {
  Record(tracker_.CheckTimeout(now));
}

std::shared_ptr<const ImageSnapshot> UnitLedger::Abort(Instant now) {
  Record(tracker_.Abort(now));
  waiting_for_image_ = false;
  return std::exchange(unit_image_, nullptr);
}

void UnitLedger::Record(std::optional<UnitResult> result) {
  if (!result) return;
  // A unit's own image ends with it: nothing of it is served again.
  if (own_images_) {
    const auto image = served_.Acquire();
    if (image && image->id() == result->image_id) {
      served_.Clear();
      tracker_.ClearImage();
    }
  }
  result->sequence = ++sequence_;
  result->data_let_through = std::exchange(data_let_through_, false);
  tally_.Count(result->outcome);
  last_result_ = *result;
  results_.push_back(std::move(*result));
  AdoptPending();
}

// --- what to tell ---

void UnitLedger::QueueNotice(SessionNotice notice) {
  notice.sequence = ++sequence_;
  notices_.push_back(std::move(notice));
}

std::vector<UnitResult> UnitLedger::TakeResults() {
  results_told_ = 0;
  return std::exchange(results_, {});
}

std::vector<SessionNotice> UnitLedger::TakeNotices() {
  notices_told_ = 0;
  return std::exchange(notices_, {});
}

bool UnitLedger::NewsToTell() {
  const bool news = results_.size() > results_told_ || notices_.size() > notices_told_;
  results_told_ = results_.size();
  notices_told_ = notices_.size();
  return news;
}

}  // namespace ternis
