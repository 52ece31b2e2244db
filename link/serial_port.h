#pragma once
// The serial port to the box: opens a port by COM index or device path,
// configures the line, runs the receive thread that assembles frames and
// hands each body to the frame handler, keeps the attached writer pointed
// at the open port, and closes in an orderly way. It knows no engine.
//
// All operations run on one (the owner's) thread. The receive thread shares
// only `connected`, `device_lost`, the listener pointer and the writer's
// atomics with it. Closing wakes the thread through an eventfd, which also
// cancels a reply that is waiting for room on the line, so Close is bounded
// even while the box keeps sending or stops reading.
//
// The receive thread calls the frame handler and the link listener; neither
// may wait for the owner's thread unless the owner gives such waits up
// before it calls Close (the box session does).

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <semaphore>
#include <span>
#include <string>
#include <thread>

#include "link/line_settings.h"
#include "link/port_writer.h"
#include "protocol/frame_assembler.h"
#include "protocol/unique_fd.h"

namespace ternis {

// Told once, on the receive thread, when the device goes away.
class LinkListener {
 public:
  virtual ~LinkListener() = default;
  // `error` is the errno behind it (EIO for a hang-up).
  virtual void OnDeviceLost(int error) = 0;
};

class SerialPort {
 public:
  // Called on the receive thread with each complete frame body.
  using FrameHandler = std::function<void(std::span<const std::uint8_t> body)>;

  SerialPort() = default;
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // "COM1" for index 0, "COM2" for 1, and so on.
  static std::string PortName(int index);

  // Device paths of the COM names; "COM1" is /dev/ttyS0 and "COM2"
  // /dev/ttyS1 until told otherwise. Names not in the table cannot open.
  void SetPortPaths(std::map<std::string, std::string> paths) { port_paths_ = std::move(paths); }

  // Opens the port and starts the receive thread.
  bool Open(int index);
  bool OpenPath(const std::string& path);

  // Sets the line. When the line's state cannot even be read (not a
  // serial device) it fails with "It cannot get state of COM port" and
  // leaves closing to the caller, who may first have to release a receive
  // thread that waits on it.
  bool Configure(std::uint32_t baud, std::uint8_t data_bits, std::uint8_t parity,
                 std::uint8_t stop_bits);
  bool Configure(const LineSettings& line) {
    return Configure(line.baud, line.data_bits, line.parity, line.stop_bits);
  }
  // Set while the port is closed; the receive thread reads it.
  void SetListener(LinkListener* listener) { listener_.store(listener); }
  // Set while the port is closed.
  void SetFrameHandler(FrameHandler handler) { frame_handler_ = std::move(handler); }
  // Added to the receive thread's nice value when it starts, up to 19 (0:
  // the owner's priority). Set while the port is closed.
  void SetReceiveNice(int increment) { receive_nice_ = increment; }
  // The writer that writes to this port: set while the port is closed; the
  // port gives it the descriptor, the cancel descriptor and the time limit.
  void SetWriter(PortWriter* writer) { writer_ = writer; }

  // Stops the receive thread, releases and closes the port. Does nothing on
  // a closed port.
  void Close();

  bool IsConnected() const { return connected_.load() != 0; }
  // True once the device went away (unplugged, other end closed) until Close.
  bool IsDeviceLost() const { return device_lost_.load(); }
  const std::string& GetLastStatus() const { return last_status_; }
  // Puts back a status that a later step (closing) replaced.
  void SetLastStatus(int error, const std::string& text) {
    last_error_ = error;
    last_status_ = text;
  }
  // The last Configure failed because the line state could not be read.
  bool line_state_unreadable() const { return line_state_unreadable_; }
  // The errno value behind the last failure, 0 after a success.
  int GetLastError() const { return last_error_; }
  const std::string& device_path() const { return device_path_; }

  // Returns once the receive thread is not handling a read, so every reply
  // to what has arrived so far is on the line.
  void WaitForReceiveIdle() {
    rx_lock_.acquire();
    rx_lock_.release();
  }

 private:
  bool OpenDevice(const std::string& path);
  bool StartReceiveThread();
  void RxEvent(int fd, int nice);
  bool DrainPort(int fd, FrameAssembler& assembler, std::span<std::uint8_t> buffer);
  void ReportLoss(int error);
  void Wake();
  void ClearWake();
  void ReleasePort();
  // Sets last_status and the error code behind it (0 for success texts).
  [[gnu::format(printf, 3, 4)]] void SetStatus(int error, const char* format, ...);

  std::map<std::string, std::string> port_paths_{{"COM1", "/dev/ttyS0"}, {"COM2", "/dev/ttyS1"}};
  UniqueFd port_;
  UniqueFd wake_;  // eventfd: readable while the link is closing
  SavedLineState saved_line_;
  std::string device_path_;
  std::thread rx_thread_;
  std::atomic<std::uint32_t> connected_{0};
  std::atomic<bool> device_lost_{false};
  std::atomic<LinkListener*> listener_{nullptr};
  std::string last_status_;
  int last_error_ = 0;
  bool line_state_unreadable_ = false;
  std::binary_semaphore rx_lock_{1};  // held by the receive thread per read
  FrameHandler frame_handler_;
  PortWriter* writer_ = nullptr;
  int receive_nice_ = 0;
};

}  // namespace ternis
