#pragma once
// The units of one box session: the tracker fed with what the engine did,
// the image each unit is served, and what the session has to tell, results
// and notices in the order they happened, with the tally.
//
// A new image for every unit waits for the unit in progress to end: a box
// never gets a mix of two files. With images of their own (a key pool)
// each unit is served the image taken for it, and nothing of it after the
// unit ended.
//
// Plain state, no threads of its own: the session serialises the calls
// under its mutex, and takes images from their source outside it.

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "protocol/image_file.h"
#include "station/session_notice.h"
#include "station/unit_result.h"
#include "station/unit_tracker.h"

namespace ternis {

class UnitLedger {
 public:
  // `served`: the engine's image, the one units are served from.
  UnitLedger(std::chrono::milliseconds unit_timeout, ImageFile& served)
      : tracker_(unit_timeout), served_(served) {}
  UnitLedger(const UnitLedger&) = delete;
  UnitLedger& operator=(const UnitLedger&) = delete;

  // --- images ---
  // The served image was replaced: units measure their coverage against it.
  void TrackServedImage();
  // Served at once when no unit is in progress, else from the next unit on.
  void ServeFromNextUnit(std::shared_ptr<const ImageSnapshot> image);
  // Each unit is served an image taken for it (SetUnitImage).
  void SetOwnImages(bool own) { own_images_ = own; }
  bool has_unit_image() const { return unit_image_ != nullptr; }
  // A boot-up announced again before any data keeps its unit's image.
  bool NeedsImageForBootUp() const;
  // The image for the next unit; null when there was none: the box waits.
  void SetUnitImage(std::shared_ptr<const ImageSnapshot> image);
  // A data request within the unit in progress; false when there is none.
  bool LetDataIntoUnit();
  // A data request that starts a unit (a box already running) is served
  // the image taken for it.
  void LetDataStartUnit();

  // --- what the engine did; each may end a unit ---
  void OnBootUp(const BootUpEvent& event, Instant now);
  void OnDataServed(const DataServedEvent& event, Instant now);
  void OnNoImage(Instant now);
  void OnTimeServed(const TimeServedEvent& event, Instant now);
  void OnDeviceLost(int error, Instant now);
  void CheckTimeout(Instant now);
  // Ends the unit in progress as aborted. Returns an image taken for a
  // unit that never started, to be given back.
  std::shared_ptr<const ImageSnapshot> Abort(Instant now);

  // --- what to tell ---
  // After everything queued so far.
  void QueueNotice(SessionNotice notice);
  std::vector<UnitResult> TakeResults();
  std::vector<SessionNotice> TakeNotices();
  // True once for whatever was queued since it was last asked.
  bool NewsToTell();

  const UnitTracker& tracker() const { return tracker_; }
  const std::optional<UnitResult>& last_result() const { return last_result_; }
  const UnitTally& tally() const { return tally_; }
  // The box asked, and there was no image to give it.
  bool waiting_for_image() const { return waiting_for_image_; }

 private:
  void Record(std::optional<UnitResult> result);
  void AdoptPending();
  void AdoptUnitImage();

  UnitTracker tracker_;
  ImageFile& served_;
  bool own_images_ = false;
  std::shared_ptr<const ImageSnapshot> pending_image_;
  std::shared_ptr<const ImageSnapshot> unit_image_;  // taken for the next unit, not yet served
  bool waiting_for_image_ = false;
  bool data_let_through_ = false;  // in the unit in progress, a request reached the image
  std::optional<UnitResult> last_result_;
  UnitTally tally_;
  std::vector<UnitResult> results_;
  std::vector<SessionNotice> notices_;
  std::size_t results_told_ = 0;  // queued items already told of
  std::size_t notices_told_ = 0;
  std::uint64_t sequence_ = 0;  // the last given to a notice or result
};

}  // namespace ternis
