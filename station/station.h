#pragma once
// A station: one image served to many slots at once, each slot a box
// session on its own port, every ended unit recorded (on disk first) with
// the identity of the bytes it got. The server and the station window are
// two front ends of this one object, both building it through
// StationChoice (station_setup.h) and telling its events with the texts of
// station_texts.h.
//
// Threads: everything here runs on the owner's thread (the server's loop,
// the window's thread). The sessions' receive threads only call `wake`
// (when something shown changed), the optional frame printer and, with a
// key pool, take and give back keys: the pool is thread-safe, and
// keys_mutex_ guards only the keys' bookkeeping, never a pool's disk or
// database, so the owner's thread does not wait for them.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "station/box_session.h"
#include "station/image_identities.h"
#include "station/key_pool.h"
#include "station/port_diagnosis.h"
#include "station/record_file.h"
#include "station/station_database.h"
#include "station/slot_meter.h"
#include "station/slot_spec.h"
#include "station/unit_record.h"

namespace ternis {

struct StationSettings {
  LineSettings line;
  SessionOptions session;  // wait_for_missing is always on for a station
  std::string tool_version;
  bool secret = false;  // the image is a key file
  std::string station_name;  // with every record; empty: the host name
};

// What happened, in order, since the last Service().
struct StationEvent {
  enum class Kind { kNotice, kUnitEnded, kStateChanged, kRecordFailed, kKeyPool };
  StationEvent(Kind k, std::size_t s) : kind(k), slot(s) {}
  Kind kind = Kind::kNotice;
  std::size_t slot = 0;
  SessionNotice notice{NoticeKind::kConnected, {}};  // kNotice
  std::optional<PortDiagnosis> diagnosis;             // kNotice of kCannotOpen
  UnitRecord record;                                  // kUnitEnded: written before it is told
  SlotState state = SlotState::kClosed;               // kStateChanged
  std::string reason;                                 // kStateChanged: why it waits or failed
  std::string error;                                  // kRecordFailed
  std::string text;                                   // kKeyPool: what the pool did or lacks
};

// A slot as a front end shows it.
struct SlotView {
  SlotSpec spec;
  SessionSnapshot snapshot;
  bool in_unit = false;
  double bytes_per_second = 0;
  std::optional<double> eta_seconds;
};

class Station {
 public:
  using Wake = std::function<void()>;  // any thread; must not block
  // Receive thread: a line about one frame, for a verbose view.
  using FramePrinter = std::function<void(std::size_t slot, const std::string& line)>;

  Station(StationSettings settings, Wake wake, FramePrinter frames = nullptr);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // The image for every slot. Before any slot serves, or for the units that
  // start from now on (a box never gets a mix). False with the reason; an
  // empty file is refused.
  bool LoadImage(const std::string& path, std::string& error);
  const ImageIdentity& image() const;
  bool has_image() const { return image_ != nullptr; }
  bool image_locked() const { return image_ && image_->locked(); }

  // Serves each unit a key of its own from the pool at `dir` instead of one
  // image (before any slot is added). Keys left issued by a station that
  // stopped are spoiled first. False with the reason.
  bool UseKeyPool(const std::string& dir, std::size_t low_mark, std::string& error);
  // The same from a database shared with other stations; its records go
  // there too, with each key's state. Keys this station left issued are
  // spoiled first.
  void UseKeyDatabase(std::unique_ptr<StationDatabase> db, std::size_t low_mark);
  bool key_pool() const { return pool_ != nullptr; }
  KeyPoolCounts PoolCounts() const;

  bool OpenRecords(const std::string& path, std::string& error);
  // Units from now on are recorded only in the pool's database, if any.
  void StopRecording();
  // Records to a database (beside or instead of the record file).
  void RecordToDatabase(std::unique_ptr<StationDatabase> db);
  bool recording() const { return records_.is_open() || db_ != nullptr; }

  // Adds a slot and starts serving it (a missing device is waited for).
  // A bad or repeated name or device is refused: false with the reason.
  bool AddSlot(const SlotSpec& spec, std::string& error);
  // These change an idle slot only (no unit in progress); false with the
  // reason otherwise. A slot keeps its place; a new device reopens it.
  bool RemoveSlot(std::size_t index, std::string& error);
  bool RenameSlot(std::size_t index, const std::string& name, std::string& error);
  bool ChangeDevice(std::size_t index, const std::string& device, std::string& error);
  // Every port reopened with `line`, while no unit is in progress.
  bool SetLine(const LineSettings& line, std::string& error);
  const LineSettings& line() const { return line_; }
  bool AnyUnitInProgress() const;
  std::size_t slot_count() const { return slots_.size(); }
  const SlotSpec& spec(std::size_t index) const;
  std::vector<SlotSpec> specs() const;
  BoxSession& session(std::size_t index);

  // Upkeep of every slot; results are recorded before they are returned.
  std::vector<StationEvent> Service(std::chrono::steady_clock::time_point now);
  // When Service() has something to do without being woken.
  std::optional<SteadyTime> NextService() const;
  // Stops every slot: units in progress end as aborted, and are recorded.
  std::vector<StationEvent> StopAll();

  SlotView View(std::size_t index) const;

 private:
  struct Slot;
  struct KeyInUse {
    std::string name;
    std::string sha256;
    std::uint64_t size = 0;
  };

  // Receive threads: the next key for a unit about to start, or null.
  std::shared_ptr<const ImageSnapshot> TakeKey(const std::string& slot);
  void GiveBackKey(const ImageSnapshot& image);
  // The key a unit ended with goes where its outcome sends it.
  void SettleKey(const UnitResult& result);
  void FinishKey(std::uint64_t image_id, KeyFate fate);
  void PoolNews(std::vector<StationEvent>& events);
  void TellPool(std::string text);  // under keys_mutex_
  ImageIdentity KeyIdentity(std::uint64_t image_id) const;

  // A slot's results and notices, in the order they happened; then its state.
  void ServiceSlot(std::size_t index, std::chrono::steady_clock::time_point now,
                   std::vector<StationEvent> ended, std::vector<SessionNotice> notices,
                   std::vector<StationEvent>& events);
  // Appends a slot's ended units and notices by the session's sequence;
  // `diagnose`: a port that cannot be opened comes with its diagnosis.
  void InOrder(std::size_t index, std::vector<StationEvent> ended,
               std::vector<SessionNotice> notices, bool diagnose,
               std::vector<StationEvent>& events) const;
  // The results of each slot (by index), recorded in one write; their events.
  std::vector<StationEvent> Record(const std::vector<std::vector<UnitResult>>& results);
  void StopSlot(std::size_t index, std::vector<StationEvent>& events);
  void EndInDatabase(const std::vector<std::vector<UnitResult>>& results,
                     std::vector<StationEvent>& events);
  PortDiagnosis Diagnose(const Slot& slot, const SessionNotice& notice) const;
  // A slot idle at `index`, else false with "a slot is <done> only while ...".
  bool IdleSlot(std::size_t index, const char* done, std::string& error) const;
  // The slot at `index` stopped and started again as `spec`.
  void Restart(std::size_t index, const SlotSpec& spec);
  std::unique_ptr<Slot> NewSlot(const SlotSpec& spec, std::size_t index);

  const StationSettings settings_;
  const Wake wake_;
  const FramePrinter frames_;
  const std::string host_;
  LineSettings line_;  // the settings' until changed
  std::shared_ptr<const ImageSnapshot> image_;
  ImageIdentities identities_;  // every image served
  RecordFile records_;
  std::unique_ptr<KeySource> pool_;
  std::unique_ptr<StationDatabase> records_db_;  // records only
  StationDatabase* db_ = nullptr;                // the pool's or records_db_
  std::size_t pool_low_ = 0;
  mutable std::mutex keys_mutex_;  // the pool's keys in use and news, shared with receive threads
  std::map<std::uint64_t, KeyInUse> keys_;  // by image id
  std::vector<std::string> pool_news_;
  bool key_taken_ = true;  // since the last look at the pool's counts
  bool empty_said_ = false;
  bool low_said_ = false;
  bool unlocked_said_ = false;
  std::vector<StationEvent> held_;  // of slots stopped between two Service calls
  std::vector<std::unique_ptr<Slot>> slots_;  // last: its sessions give keys back as they stop
};

}  // namespace ternis
