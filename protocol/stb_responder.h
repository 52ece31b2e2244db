#pragma once
// The protocol engine. The box drives the exchange; the engine answers each
// frame body on its own merits: boot-up gets an acknowledgement, a data
// request gets exactly the bytes asked for, a time request gets the local
// date and time. The only state between requests is `finishing`, set when
// progress first reads 99 % and cleared by the next time request.
//
// HandleFrame and the writes run on the receive thread; the setters, image
// loading and reading `finishing` happen on the window's thread.

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "protocol/image_file.h"
#include "protocol/owner_window.h"

namespace ternis {

class StbResponder {
 public:
  StbResponder() = default;
  StbResponder(const StbResponder&) = delete;
  StbResponder& operator=(const StbResponder&) = delete;
  virtual ~StbResponder() = default;

  // One complete frame body, without STX and ETX. Unknown types and wrong
  // lengths are ignored: no reply, no message, no state change.
  void HandleFrame(std::span<const std::uint8_t> body);

  // Writes STX, body, ETX; true when all of it went out.
  bool SendFrame(std::span<const std::uint8_t> body);

  // Writes bytes to the port in chunks of at most 4095; returns the count
  // written. Stops early on a write error, the write time-out, or the cancel
  // descriptor becoming readable.
  std::size_t WriteRaw(std::span<const std::uint8_t> bytes);

  // The port to answer on: a non-blocking descriptor the caller owns.
  void SetPort(int fd) { port_fd_.store(fd); }
  // A descriptor that turns readable when the link is closing; pending
  // writes give up at once. -1 for none.
  void SetCancelFd(int fd) { cancel_fd_.store(fd); }
  // Milliseconds a write may take per byte (19200 / baud); 0 for no limit.
  void SetWriteTimeoutPerByte(std::uint32_t ms) { write_ms_per_byte_.store(ms); }
  void SetOwnerWindow(OwnerWindow* owner) { owner_.store(owner); }

  bool LoadImageFile(const std::string& path) { return image_.LoadImageFile(path); }
  ImageFile& image() { return image_; }

  // 1 from the first 99 % until the next time request, else 0.
  std::uint32_t finishing() const { return finishing_.load(std::memory_order_relaxed); }

  // What has been served so far: data requests answered and their bytes.
  std::uint64_t requests_served() const { return requests_served_.load(std::memory_order_relaxed); }
  std::uint64_t bytes_served() const { return bytes_served_.load(std::memory_order_relaxed); }

 private:
  void OnBootUp();
  void OnDataRequest(std::uint16_t length, std::uint32_t offset);
  void OnTimeRequest();

  std::size_t WriteImageRange(const ImageSnapshot& image, std::uint32_t offset,
                              std::uint16_t length);
  std::size_t WriteZeros(std::size_t count);
  void ReportProgress(std::uint64_t size, std::uint32_t offset, std::uint16_t length);

  std::size_t WriteChunk(int fd, const std::uint8_t* data, std::size_t count);
  bool WaitWritable(int fd, long long deadline_ms);

  void Post(std::uint32_t message, std::uintptr_t wparam = 0, std::intptr_t lparam = 0);
  std::intptr_t Send(std::uint32_t message, std::uintptr_t wparam = 0, std::intptr_t lparam = 0);
  void SendStatus(const char* text);
  [[gnu::format(printf, 2, 3)]] void SendStatusf(const char* format, ...);

  std::atomic<std::uint32_t> finishing_{0};
  std::atomic<std::uint64_t> requests_served_{0};
  std::atomic<std::uint64_t> bytes_served_{0};
  std::atomic<int> port_fd_{-1};
  std::atomic<int> cancel_fd_{-1};
  std::atomic<std::uint32_t> write_ms_per_byte_{0};
  std::atomic<OwnerWindow*> owner_{nullptr};
  ImageFile image_;
};

}  // namespace ternis
