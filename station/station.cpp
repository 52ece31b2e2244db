#include "station/station.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "station/key_taker.h"
#include "station/printable_text.h"
#include "station/slot_observer.h"

namespace ternis {

namespace {

// Passed: used. Any byte of it sent in a unit that did not pass: spoiled.
// None sent, and no request on its way with it: ready again, for the next box.
KeyFate FateOf(const UnitResult& result) {
  const bool none_sent = result.bytes_served == 0 && !result.data_let_through;
  return result.outcome == UnitOutcome::kPass ? KeyFate::kUsed
         : none_sent                          ? KeyFate::kReady
                                              : KeyFate::kSpoiled;
}

bool InUnit(SlotState state) {
  return state == SlotState::kBooted || state == SlotState::kServing ||
         state == SlotState::kWriting;
}

std::string Reason(const SessionSnapshot& s) {
  if (s.state == SlotState::kWaitingForDevice) return s.problem;
  if ((s.state == SlotState::kFailed || s.state == SlotState::kAborted) && s.last_result)
    return s.last_result->reason;
  return {};
}

}  // namespace

struct Station::Slot {
  Slot(Station& station, SlotSpec s, std::size_t i, const SessionOptions& options)
      : spec(std::move(s)),
        index(i),
        observer(station.wake_, station.frames_, index),
        taker([&station](const std::string& slot) { return station.TakeKey(slot); },
              [&station](const ImageSnapshot& image) { station.GiveBackKey(image); }, spec.name),
        session(&observer, options) {}
  SlotSpec spec;
  std::atomic<std::size_t> index;
  SlotMeter meter;
  std::optional<SlotState> told_state;
  SlotObserver observer;
  KeyTaker taker;
  BoxSession session;  // last: it stops, and calls back, before the rest goes
};

Station::Station(StationSettings settings, Wake wake, FramePrinter frames)
    : settings_(std::move(settings)),
      wake_(std::move(wake)),
      frames_(std::move(frames)),
      host_(HostName()),
      line_(settings_.line) {}

Station::~Station() {
  StopAll();
}

bool Station::LoadImage(const std::string& path, std::string& error) {
  int load_error = 0;
  auto image = ImageSnapshot::Load(path, &load_error, settings_.secret);
  if (!image) {
    error = "cannot load " + PrintableText(path) + ": " + std::strerror(load_error);
    return false;
  }
  // A box would get its time at once and pass having received nothing.
  if (image->contents().empty()) {
    error = PrintableText(path) + " is empty: nothing to serve";
    return false;
  }
  identities_.Remember(*image, path);
  image_ = std::move(image);
  for (auto& slot : slots_) slot->session.AdoptImageForNextUnit(image_);
  return true;
}

const ImageIdentity& Station::image() const {
  static const ImageIdentity kNone;
  static const ImageIdentity kPool{"key_pool", 0, {}, {}};
  if (pool_) return kPool;
  return image_ ? *identities_.Find(image_->id()) : kNone;
}

bool Station::UseKeyPool(const std::string& dir, std::size_t low_mark, std::string& error) {
  auto pool = std::make_unique<KeyPool>();
  if (!pool->Open(dir, true, error)) return false;
  std::lock_guard lock(keys_mutex_);
  for (const KeyMove& move : pool->Recover()) {
    TellPool(move.to == "spoiled" ? "key " + move.name + " moved to spoiled/: " + move.reason
                                  : "key " + move.name + " left in issued/: " + move.reason);
  }
  pool_ = std::move(pool);
  pool_low_ = low_mark;
  return true;
}

void Station::UseKeyDatabase(std::unique_ptr<StationDatabase> db, std::size_t low_mark) {
  std::lock_guard lock(keys_mutex_);
  for (const KeyMove& move : db->Recover()) {
    TellPool(move.to == "spoiled" ? "key " + move.name + " spoiled: " + move.reason
                                  : "keys left issued: " + move.reason);
  }
  db_ = db.get();
  pool_ = std::move(db);
  pool_low_ = low_mark;
}

void Station::RecordToDatabase(std::unique_ptr<StationDatabase> db) {
  records_db_ = std::move(db);
  db_ = records_db_.get();
}

KeyPoolCounts Station::PoolCounts() const {
  return pool_ ? pool_->Counts() : KeyPoolCounts{};
}

// Key names come from whoever filled the folder: escaped like any outside text.
void Station::TellPool(std::string text) {
  pool_news_.push_back(PrintableText(text));
}

// The pool is thread-safe and may take a while (its disk, its database):
// the keys' bookkeeping is locked around it, not over it.
std::shared_ptr<const ImageSnapshot> Station::TakeKey(const std::string& slot) {
  KeySource* pool = nullptr;
  std::string slot_name;  // renamed under the lock
  {
    std::lock_guard lock(keys_mutex_);
    pool = pool_.get();
    slot_name = slot;
  }
  std::vector<KeyMove> moved;
  std::string error;
  auto key = pool->Take(slot_name, moved, error);
  std::shared_ptr<const ImageSnapshot> image;
  {
    std::lock_guard lock(keys_mutex_);
    for (const KeyMove& move : moved)
      TellPool("key " + move.name + " moved to " + move.to + "/: " + move.reason);
    if (!error.empty()) TellPool("no key given: " + error);
    if (key) {
      keys_[key->image->id()] = {key->name, key->sha256, key->image->contents().size()};
      key_taken_ = true;
      if (!key->image->locked() && !unlocked_said_) {
        unlocked_said_ = true;
        TellPool("the keys could not be locked in memory (RLIMIT_MEMLOCK); they may reach swap");
      }
      image = std::move(key->image);
    }
  }
  if (!moved.empty() || !error.empty()) wake_();
  return image;
}

void Station::GiveBackKey(const ImageSnapshot& image) { FinishKey(image.id(), KeyFate::kReady); }

void Station::SettleKey(const UnitResult& result) { FinishKey(result.image_id, FateOf(result)); }

void Station::FinishKey(std::uint64_t image_id, KeyFate fate) {
  std::string name;
  KeySource* pool = nullptr;
  {
    std::lock_guard lock(keys_mutex_);
    const auto key = keys_.find(image_id);
    if (key == keys_.end()) return;
    name = std::move(key->second.name);
    keys_.erase(key);
    pool = pool_.get();
  }
  std::string error;
  if (pool->Finish(name, fate, error)) return;
  std::lock_guard lock(keys_mutex_);
  TellPool(error);
}

// Said once each: the pool ran dry with boxes waiting, and it fell to its low mark.
void Station::PoolNews(std::vector<StationEvent>& events) {
  std::vector<std::string> news;
  bool look = false;
  {
    std::lock_guard lock(keys_mutex_);
    news = std::exchange(pool_news_, {});
    look = std::exchange(key_taken_, false);
    if (look) empty_said_ = false;
  }
  std::size_t waiting = 0;
  for (const auto& slot : slots_)
    waiting += slot->session.Snapshot().state == SlotState::kWaitingForKey;
  // A database away is told by the database; it is not an empty pool.
  if (waiting > 0 && !empty_said_ && !(db_ == pool_.get() && !db_->reachable())) {
    empty_said_ = true;
    news.push_back("key pool empty: " + std::to_string(waiting) + " boxes waiting");
  }
  if (look) {
    const std::size_t ready = pool_->Counts().ready;
    if (ready > pool_low_) {
      low_said_ = false;
    } else if (!low_said_) {
      low_said_ = true;
      news.push_back("key pool low: " + std::to_string(ready) + " keys left in " +
                     pool_->ReadyPlace());
    }
  }
  for (std::string& text : news) {
    StationEvent event(StationEvent::Kind::kKeyPool, 0);
    event.text = std::move(text);
    events.push_back(std::move(event));
  }
}

bool Station::OpenRecords(const std::string& path, std::string& error) {
  return records_.Open(path, error);
}

void Station::StopRecording() {
  records_.Close();
  if (db_ == records_db_.get()) db_ = nullptr;
  records_db_.reset();
}

const SlotSpec& Station::spec(std::size_t index) const {
  return slots_[index]->spec;
}

BoxSession& Station::session(std::size_t index) {
  return slots_[index]->session;
}

std::vector<SlotSpec> Station::specs() const {
  std::vector<SlotSpec> all;
  for (const auto& slot : slots_) all.push_back(slot->spec);
  return all;
}

bool Station::AnyUnitInProgress() const {
  for (const auto& slot : slots_)
    if (InUnit(slot->session.Snapshot().state)) return true;
  return false;
}

std::unique_ptr<Station::Slot> Station::NewSlot(const SlotSpec& spec, std::size_t index) {
  SessionOptions options = settings_.session;
  options.wait_for_missing = true;
  auto slot = std::make_unique<Slot>(*this, spec, index, options);
  if (pool_) slot->session.SetImageSource(&slot->taker);
  if (image_) slot->session.AdoptImage(image_);
  slot->session.Connect(spec.device, line_);
  return slot;
}

bool Station::AddSlot(const SlotSpec& spec, std::string& error) {
  std::vector<SlotSpec> all = specs();
  all.push_back(spec);
  if (!CheckSlotAmong(all, all.size() - 1, error)) return false;
  slots_.push_back(NewSlot(spec, slots_.size()));
  wake_();
  return true;
}

bool Station::IdleSlot(std::size_t index, const char* done, std::string& error) const {
  if (index >= slots_.size()) {
    error = "no such slot";
    return false;
  }
  if (!InUnit(slots_[index]->session.Snapshot().state)) return true;
  error = std::string("a slot is ") + done + " only while no unit is in progress on it";
  return false;
}

bool Station::RemoveSlot(std::size_t index, std::string& error) {
  if (!IdleSlot(index, "removed", error)) return false;
  std::vector<StationEvent> gone;  // recorded; nothing is left to show them on
  StopSlot(index, gone);
  slots_.erase(slots_.begin() + static_cast<long>(index));
  for (std::size_t i = index; i < slots_.size(); ++i) slots_[i]->index = i;
  std::erase_if(held_, [index](const StationEvent& event) { return event.slot == index; });
  for (StationEvent& event : held_) event.slot -= event.slot > index ? 1 : 0;
  return true;
}

bool Station::RenameSlot(std::size_t index, const std::string& name, std::string& error) {
  if (!IdleSlot(index, "renamed", error)) return false;
  if (!IsSlotName(name)) {
    error = "a slot name is letters, digits, '-', '_' and '.'";
    return false;
  }
  for (const auto& slot : slots_) {
    if (slot->spec.name != name || slot.get() == slots_[index].get()) continue;
    error = "the name is taken";
    return false;
  }
  slots_[index]->spec.name = name;
  std::lock_guard lock(keys_mutex_);
  slots_[index]->taker.slot = name;
  return true;
}

// An unnamed slot is called by its device, and follows it.
bool Station::ChangeDevice(std::size_t index, const std::string& device, std::string& error) {
  if (index >= slots_.size()) {
    error = "no such slot";
    return false;
  }
  std::vector<SlotSpec> all = specs();
  SlotSpec& spec = all[index];
  if (spec.name == spec.device) spec.name = device;
  spec.device = device;
  if (!CheckSlotAmong(all, index, error)) return false;
  if (InUnit(slots_[index]->session.Snapshot().state)) {
    error = "the device is changed only while no unit is in progress";
    return false;
  }
  Restart(index, all[index]);
  return true;
}

bool Station::SetLine(const LineSettings& line, std::string& error) {
  if (ValidateLineSettings(line) != 0) {
    error = "no port can take them";
    return false;
  }
  if (AnyUnitInProgress()) {
    error = "a unit is in progress";
    return false;
  }
  line_ = line;
  for (std::size_t i = 0; i < slots_.size(); ++i) Restart(i, slots_[i]->spec);
  return true;
}

void Station::Restart(std::size_t index, const SlotSpec& spec) {
  StopSlot(index, held_);  // told with the next Service
  slots_[index] = NewSlot(spec, index);
  wake_();
}

// Every slot's ended units are recorded together first (one fsync for a
// burst of boxes finishing at once), then each slot's news is told: its
// results and notices in the order they happened, then its state.
std::vector<StationEvent> Station::Service(std::chrono::steady_clock::time_point now) {
  std::vector<std::vector<UnitResult>> results(slots_.size());
  std::vector<std::vector<SessionNotice>> notices(slots_.size());
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    slots_[i]->session.Service();
    // Results, then notices: a unit that ends meanwhile has its start
    // notice kept for the next turn, with its result.
    results[i] = slots_[i]->session.TakeResults();
    notices[i] = slots_[i]->session.TakeNotices();
  }
  std::vector<StationEvent> ended = Record(results);
  std::vector<StationEvent> events = std::exchange(held_, {});
  if (db_) {
    for (std::string& text : db_->Upkeep(now)) {
      StationEvent event(StationEvent::Kind::kKeyPool, 0);
      event.text = std::move(text);
      events.push_back(std::move(event));
    }
  }
  if (pool_) PoolNews(events);
  auto next_ended = ended.begin();
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    std::vector<StationEvent> slot_ended;
    for (; next_ended != ended.end() && next_ended->slot == i; ++next_ended)
      slot_ended.push_back(std::move(*next_ended));
    ServiceSlot(i, now, std::move(slot_ended), std::move(notices[i]), events);
  }
  return events;
}

void Station::ServiceSlot(std::size_t index, std::chrono::steady_clock::time_point now,
                          std::vector<StationEvent> ended, std::vector<SessionNotice> notices,
                          std::vector<StationEvent>& events) {
  Slot& slot = *slots_[index];
  InOrder(index, std::move(ended), std::move(notices), true, events);
  const SessionSnapshot s = slot.session.Snapshot();
  slot.meter.Sample(s.unit, s.covered, now);
  if (slot.told_state != s.state) {
    slot.told_state = s.state;
    StationEvent event(StationEvent::Kind::kStateChanged, index);
    event.state = s.state;
    event.reason = Reason(s);
    events.push_back(std::move(event));
  }
}

ImageIdentity Station::KeyIdentity(std::uint64_t image_id) const {
  std::lock_guard lock(keys_mutex_);
  const auto key = keys_.find(image_id);
  if (key == keys_.end()) return image();
  return {"key_pool", key->second.size, key->second.sha256, key->second.name};
}

// On disk first: a result nobody can prove is not shown.
std::vector<StationEvent> Station::Record(const std::vector<std::vector<UnitResult>>& results) {
  std::vector<StationEvent> events;
  std::vector<UnitRecord> records;
  for (std::size_t index = 0; index < results.size(); ++index) {
    const Slot& slot = *slots_[index];
    for (const UnitResult& result : results[index]) {
      const ImageIdentity* identity = identities_.Find(result.image_id);
      StationEvent event(StationEvent::Kind::kUnitEnded, index);
      event.record = {slot.spec.name, slot.spec.device,
                      identity ? *identity : image(),
                      result, host_, settings_.tool_version};
      if (pool_) event.record.image = KeyIdentity(result.image_id);
      event.record.station = settings_.station_name;
      records.push_back(event.record);
      events.push_back(std::move(event));
    }
  }
  std::string error;
  if (records_.is_open() && !records_.Append(records, error)) {
    for (StationEvent& event : events) {
      event.kind = StationEvent::Kind::kRecordFailed;
      event.error = "cannot write the record file " + records_.path() + ": " + error;
    }
  }
  if (db_) EndInDatabase(results, events);
  // A folder pool's keys are settled there, wherever the records go.
  if (pool_ && db_ != pool_.get()) {
    for (const auto& slot_results : results)
      for (const UnitResult& result : slot_results) SettleKey(result);
  }
  return events;
}

// Each unit's record and its key's fate in one transaction, or in the spool.
void Station::EndInDatabase(const std::vector<std::vector<UnitResult>>& results,
                            std::vector<StationEvent>& events) {
  auto event = events.begin();
  for (const auto& slot_results : results) {
    for (const UnitResult& result : slot_results) {
      std::string key;
      if (db_ == pool_.get()) {
        std::lock_guard lock(keys_mutex_);
        const auto found = keys_.find(result.image_id);
        if (found != keys_.end()) {
          key = found->second.name;
          keys_.erase(found);
        }
      }
      std::string error;
      if (db_->EndUnit(event->record, key, FateOf(result), error) ==
          StationDatabase::Written::kLost) {
        event->kind = StationEvent::Kind::kRecordFailed;
        event->error = "cannot write the record to the database nor to its spool: " + error;
      }
      ++event;
    }
  }
}

// Both lists are in the session's order already; merged by its sequence.
void Station::InOrder(std::size_t index, std::vector<StationEvent> ended,
                      std::vector<SessionNotice> notices, bool diagnose,
                      std::vector<StationEvent>& events) const {
  auto result = ended.begin();
  for (SessionNotice& notice : notices) {
    for (; result != ended.end() && result->record.result.sequence < notice.sequence; ++result)
      events.push_back(std::move(*result));
    StationEvent event(StationEvent::Kind::kNotice, index);
    if (diagnose && notice.kind == NoticeKind::kCannotOpen)
      event.diagnosis = Diagnose(*slots_[index], notice);
    event.notice = std::move(notice);
    events.push_back(std::move(event));
  }
  for (; result != ended.end(); ++result) events.push_back(std::move(*result));
}

PortDiagnosis Station::Diagnose(const Slot& slot, const SessionNotice& notice) const {
  return DiagnoseBoxPort(slot.spec.device, notice.error, notice.configuring, line_);
}

std::optional<SteadyTime> Station::NextService() const {
  std::optional<SteadyTime> next = db_ ? db_->NextUpkeep() : std::nullopt;
  for (const auto& slot : slots_) {
    if (const auto due = slot->session.NextService()) next = next ? std::min(*next, *due) : *due;
  }
  return next;
}

std::vector<StationEvent> Station::StopAll() {
  std::vector<StationEvent> events = std::exchange(held_, {});
  for (std::size_t i = 0; i < slots_.size(); ++i) StopSlot(i, events);
  return events;
}

// What happened since the last look (a unit that ended, a box unplugged just
// now) and a unit cut short by the stop are recorded and told too.
void Station::StopSlot(std::size_t index, std::vector<StationEvent>& events) {
  std::vector<SessionNotice> notices = slots_[index]->session.TakeNotices();
  slots_[index]->session.Stop();
  std::vector<std::vector<UnitResult>> results(index + 1);
  results[index] = slots_[index]->session.TakeResults();
  InOrder(index, Record(results), std::move(notices), false, events);
}

SlotView Station::View(std::size_t index) const {
  const Slot& slot = *slots_[index];
  SlotView view;
  view.spec = slot.spec;
  view.snapshot = slot.session.Snapshot();
  view.in_unit = InUnit(view.snapshot.state);
  view.bytes_per_second = slot.meter.bytes_per_second();
  view.eta_seconds = slot.meter.EtaSeconds(view.snapshot.covered, view.snapshot.image_size);
  return view;
}

}  // namespace ternis
