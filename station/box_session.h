#pragma once
// One box on one port, shared by the window and the server. It owns the
// port, the request engine and the writer that puts the engine's replies
// on the port; it counts every unit the box runs (UnitTracker),
// answers the box's time request from one reading of the clock, and keeps
// the policy for a device that goes away: release it at once, say so once,
// and open it again when the same device path is back.
//
// Threads: frames are handled, and the observer's frame calls made, on the
// port's receive thread; everything else runs on the owner's thread (the
// window's, or the server's main loop). The two share the tracker, the
// result and notice queues and the link state, under one mutex held only
// for bookkeeping, never across I/O or an observer call.

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/port_writer.h"
#include "link/serial_port.h"
#include "protocol/engine_events.h"
#include "protocol/stb_responder.h"
#include "station/unit_result.h"
#include "station/unit_tracker.h"

namespace ternis {

enum class SlotState : std::uint8_t {
  kClosed,
  kWaitingForDevice,
  kConnected,
  kBooted,
  kServing,
  kWriting,
  kPassed,
  kFailed,
  kAborted,
  kWaitingForKey,  // the box booted, but there is no key to give it
};
// "closed", "waiting for device", "connected", "booted", "serving", ...
const char* SlotStateName(SlotState state);

struct SessionSnapshot {
  SlotState state = SlotState::kClosed;
  std::string device;
  std::uint64_t unit = 0;  // the unit in progress, or the last one
  int percent = 0;         // of the image covered in the current unit
  std::uint64_t covered = 0;
  std::uint64_t image_size = 0;
  std::uint64_t bytes_served = 0;
  std::uint64_t requests = 0;
  SteadyTime unit_started{};
  std::optional<UnitResult> last_result;
  std::uint64_t passed = 0;
  std::uint64_t failed = 0;
  std::uint64_t aborted = 0;
  std::string problem;    // why it waits for the device
  int problem_error = 0;  // the errno behind it (ENOENT: not there)
};

enum class NoticeKind : std::uint8_t {
  kConnected,    // opened and configured (again)
  kDeviceLost,   // the device went away; `error` is the errno
  kCannotOpen,   // an attempt failed; said again only when the reason changes
  kUnitStarted,  // `unit` is its number
};

struct SessionNotice {
  NoticeKind kind;
  std::string text;
  int error = 0;
  std::uint64_t unit = 0;
  bool configuring = false;  // kCannotOpen: it opened, but the line was refused
  std::uint64_t sequence = 0;  // order among the session's notices and results
};

class SessionObserver {
 public:
  virtual ~SessionObserver() = default;
  // Receive thread, after the session has counted the frame.
  virtual void OnBootUp(const BootUpEvent&) {}
  virtual void OnDataServed(const DataServedEvent&) {}
  virtual void OnNoImage(const NoImageEvent&) {}
  virtual void OnTimeServed(const TimeServedEvent&) {}
  virtual void OnDeviceLost(int /*error*/) {}
  // Any thread: the state, percent, notices or results changed. Call
  // Service() and read them on the owner's thread soon; never block here.
  virtual void OnChanged() {}
  // Owner's thread, around closing the port: until OnLinkClosed, give up at
  // once anything the receive thread waits for on the owner's thread.
  virtual void OnLinkClosing() {}
  virtual void OnLinkClosed() {}
};

// Gives each unit an image of its own (a key pool) instead of one image
// for every unit.
class UnitImageSource {
 public:
  virtual ~UnitImageSource() = default;
  // Receive thread, before a unit starts: its image, or null when there is
  // none to give (the box is then not answered).
  virtual std::shared_ptr<const ImageSnapshot> TakeImage() = 0;
  // Owner's thread: an image taken for a unit that never started.
  virtual void GiveBack(std::shared_ptr<const ImageSnapshot> image) = 0;
};

struct SessionOptions {
  std::chrono::milliseconds unit_timeout{std::chrono::seconds(30)};  // 0: never
  std::chrono::milliseconds retry_interval{std::chrono::seconds(1)};  // a missing device
  // A device that is there but cannot be opened (permission, held elsewhere).
  std::chrono::milliseconds retry_after_error{std::chrono::seconds(3)};
  // Keep trying a device that could not be opened at all (the server); one
  // that was lost after working is always tried again.
  bool wait_for_missing = false;
};

struct SessionClock {
  std::function<SteadyTime()> steady = [] { return std::chrono::steady_clock::now(); };
  std::function<WallTime()> wall = [] { return std::chrono::system_clock::now(); };
};

class BoxSession final : private EngineSink, private LinkListener {
 public:
  // The observer may be null, and replaced while the port is closed; it
  // must outlive its time as the observer.
  explicit BoxSession(SessionObserver* observer, SessionOptions options = {},
                      SessionClock clock = {});
  ~BoxSession() override;
  BoxSession(const BoxSession&) = delete;
  BoxSession& operator=(const BoxSession&) = delete;

  void SetObserver(SessionObserver* observer) { observer_.store(observer); }

  // --- the link (owner's thread) ---
  void SetPortPaths(std::map<std::string, std::string> paths);
  // By COM index (the window) or device path. The sink is in place before
  // the port opens, so no frame is ever handled without one.
  bool OpenIndex(int index);
  bool OpenPath(const std::string& path);
  // When the device's line state cannot even be read (not a serial
  // device) the port is closed, through the same path as Close.
  bool Configure(const LineSettings& line);
  // While a lost device is waited for (or its loss is not yet serviced):
  // `line` is what it is opened with when it is back, and true. Closing or
  // configuring its port instead would end the wait.
  bool KeepForReopen(const LineSettings& line);
  // Releases the port; nothing is reopened until the next open.
  void Close();
  // Opens and configures; on failure, closed again, and with
  // wait_for_missing tried again from Service().
  bool Connect(const std::string& path, const LineSettings& line);
  // Aborts a unit in progress and closes.
  void Stop();

  // --- the image (owner's thread) ---
  // `secret`: a key file (kept out of core dumps and swap).
  bool LoadImageFile(const std::string& path, bool secret = false);
  void AdoptImage(std::shared_ptr<const ImageSnapshot> image);
  // Serves `image` from the next unit on: at once when no unit is in
  // progress, else when the unit in progress ends or the box boots again.
  void AdoptImageForNextUnit(std::shared_ptr<const ImageSnapshot> image);
  // Each unit takes its image from `source` when it starts, and nothing is
  // served between units. Set before the port opens; it must outlive the
  // session's last Stop().
  void SetImageSource(UnitImageSource* source) { source_.store(source); }

  // Releases a lost device, tries to reopen, ends a unit whose box went
  // quiet. Call when the observer hears OnChanged, and at NextService().
  void Service();
  std::optional<SteadyTime> NextService() const;

  SessionSnapshot Snapshot() const;
  std::vector<UnitResult> TakeResults();
  std::vector<SessionNotice> TakeNotices();

  bool IsConnected() const { return port_.IsConnected(); }
  SerialPort& port() { return port_; }
  StbResponder& engine() { return engine_; }
  const SessionOptions& options() const { return options_; }

 private:
  enum class Link : std::uint8_t { kClosed, kOpen, kWaiting };
  struct ViewKey {
    SlotState state;
    int percent;
    bool operator==(const ViewKey&) const = default;
  };

  // EngineSink and LinkListener: the receive thread.
  DateTimeCode TimeForReply() override;
  bool BeforeBootUp() override;
  bool BeforeData() override;
  void OnBootUp(const BootUpEvent& event) override;
  void OnDataServed(const DataServedEvent& event) override;
  void OnNoImage(const NoImageEvent& event) override;
  void OnTimeServed(const TimeServedEvent& event) override;
  void OnDeviceLost(int error) override;

  Instant Now() const { return {clock_.steady(), clock_.wall()}; }
  bool OpenAndConfigure(const std::string& path, const LineSettings& line);
  SessionNotice CannotOpen(const std::string& failure) const;
  void CloseThroughObserver();
  void ForgetLoss();
  void SetLink(Link link, std::string problem = {});
  void TryReopen(Instant now);
  void TrackImage();
  // Takes the next unit's image from the source (I/O: never under the mutex).
  bool TakeUnitImage(UnitImageSource& source);
  // Under the mutex: the image taken becomes the engine's.
  void AdoptUnitImageLocked();
  // Under the mutex: serves the pending image, if any.
  void AdoptPendingLocked();
  // Under the mutex: counts a result and queues it.
  void Record(std::optional<UnitResult> result);
  // Under the mutex: queues a notice after everything queued so far.
  void QueueNoticeLocked(SessionNotice notice);
  SlotState StateLocked() const;
  // True when the view an observer shows has changed since it last heard.
  bool ViewChangedLocked();
  void NotifyChanged(bool changed);
  std::string OpenFailure() const;
  // Missing devices are looked for often, others that fail less often.
  std::chrono::milliseconds RetryInterval(int error) const;

  std::atomic<SessionObserver*> observer_;
  std::atomic<UnitImageSource*> source_{nullptr};
  const SessionOptions options_;
  const SessionClock clock_;
  // The port goes first: its receive thread uses the engine and the writer.
  PortWriter writer_;
  StbResponder engine_;
  SerialPort port_;

  mutable std::mutex mutex_;  // guards everything below
  UnitTracker tracker_;
  Link link_ = Link::kClosed;
  std::string problem_;
  int problem_error_ = 0;
  std::string device_;        // the device served, for the snapshot and reopening
  std::optional<LineSettings> line_;  // the line it had when it last worked
  bool reopen_ = false;       // Service tries to open device_ again
  bool loss_told_ = false;    // the receive thread has reported the loss
  bool configure_failed_ = false;  // the last attempt opened but could not set the line
  std::string failure_told_;  // the open failure last queued as a notice
  SteadyTime next_retry_{};
  std::shared_ptr<const ImageSnapshot> pending_image_;
  std::shared_ptr<const ImageSnapshot> unit_image_;  // taken from the source, not yet served
  bool waiting_for_image_ = false;
  bool data_let_through_ = false;  // in the unit in progress, a request reached the image                   // the source had nothing for a box that asked
  std::optional<UnitResult> last_result_;
  UnitTally tally_;
  std::vector<UnitResult> results_;
  std::vector<SessionNotice> notices_;
  ViewKey shown_{SlotState::kClosed, 0};
  std::size_t results_told_ = 0;  // queued items the observer has heard of
  std::size_t notices_told_ = 0;
  std::uint64_t sequence_ = 0;  // the last given to a notice or result
};

}  // namespace ternis
