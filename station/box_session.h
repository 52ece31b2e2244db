#pragma once
// One box on one port, shared by the window and the server. It owns the
// request engine and the writer that puts the engine's replies on the
// port, and composes the two halves of its work: the LinkKeeper keeps the
// port open (and opens a device that went away again), the UnitLedger
// counts every unit the box runs and queues what the front end is told.
// It answers the box's time request from one reading of the clock, and
// tells its observer whenever what a front end shows has changed.
//
// Threads: frames are handled, and the observer's frame calls made, on the
// port's receive thread; everything else runs on the owner's thread (the
// window's, or the server's main loop). The two share the ledger under one
// mutex held only for bookkeeping, never across I/O or an observer call.

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
#include "station/link_keeper.h"
#include "station/session_notice.h"
#include "station/session_options.h"
#include "station/unit_ledger.h"
#include "station/unit_result.h"

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

struct SessionClock {
  std::function<SteadyTime()> steady = [] { return std::chrono::steady_clock::now(); };
  std::function<WallTime()> wall = [] { return std::chrono::system_clock::now(); };
};

class BoxSession final : private EngineSink, private LinkListener, private LinkKeeper::Owner {
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
  bool OpenIndex(int index) { return link_.OpenIndex(index); }
  bool OpenPath(const std::string& path) { return link_.OpenPath(path); }
  // When the device's line state cannot even be read (not a serial
  // device) the port is closed, through the same path as Close.
  bool Configure(const LineSettings& line) { return link_.Configure(line); }
  // While a lost device is waited for (or its loss is not yet serviced):
  // `line` is what it is opened with when it is back, and true. Closing or
  // configuring its port instead would end the wait.
  bool KeepForReopen(const LineSettings& line) { return link_.KeepForReopen(line); }
  // Releases the port; nothing is reopened until the next open.
  void Close() { link_.Close(); }
  // Opens and configures; on failure, closed again, and with
  // wait_for_missing tried again from Service().
  bool Connect(const std::string& path, const LineSettings& line) {
    return link_.Connect(path, line, clock_.steady());
  }
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
  void SetImageSource(UnitImageSource* source);

  // Releases a lost device, tries to reopen, ends a unit whose box went
  // quiet. Call when the observer hears OnChanged, and at NextService().
  void Service();
  std::optional<SteadyTime> NextService() const;

  SessionSnapshot Snapshot() const;
  std::vector<UnitResult> TakeResults();
  std::vector<SessionNotice> TakeNotices();

  bool IsConnected() const { return link_.port().IsConnected(); }
  SerialPort& port() { return link_.port(); }
  StbResponder& engine() { return engine_; }
  const SessionOptions& options() const { return options_; }

 private:
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

  // LinkKeeper::Owner: the owner's thread.
  void OnLinkClosing() override;
  void OnLinkClosed() override;
  void OnLinkNotice(SessionNotice notice) override;
  void OnLinkChanged() override;

  Instant Now() const { return {clock_.steady(), clock_.wall()}; }
  void TrackImage();
  // Takes the next unit's image from the source (I/O: never under the mutex).
  bool TakeUnitImage(UnitImageSource& source);
  // Applies `count` to the ledger under the mutex; true when the view changed.
  template <typename Count>
  bool Counted(Count count);
  SlotState StateLocked() const;
  // True when the view an observer shows has changed since it last heard.
  bool ViewChangedLocked();
  void NotifyChanged(bool changed);

  std::atomic<SessionObserver*> observer_;
  std::atomic<UnitImageSource*> source_{nullptr};
  const SessionOptions options_;
  const SessionClock clock_;
  PortWriter writer_;
  StbResponder engine_;
  // After the engine and the writer: the port's receive thread uses them.
  LinkKeeper link_;

  mutable std::mutex mutex_;  // guards everything below
  UnitLedger ledger_;
  ViewKey shown_{SlotState::kClosed, 0};
};

}  // namespace ternis
