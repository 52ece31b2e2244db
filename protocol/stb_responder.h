#pragma once
// The protocol engine. The box drives the exchange; the engine answers each
// frame body on its own merits: boot-up gets an acknowledgement, a data
// request gets exactly the bytes asked for, a time request gets the date
// and time its sink gives. It keeps no state between requests beyond the
// image and its counters; what a view shows is derived from the events.
//
// HandleFrame runs on the receive thread; it writes through a LineWriter and
// reports each frame to an EngineSink, both set before frames can arrive.
// Image loading happens on the owner's thread.

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "protocol/engine_events.h"
#include "protocol/image_file.h"
#include "protocol/line_writer.h"

namespace ternis {

class StbResponder {
 public:
  StbResponder() = default;
  StbResponder(const StbResponder&) = delete;
  StbResponder& operator=(const StbResponder&) = delete;
  virtual ~StbResponder() = default;

  // One complete frame body, without STX and ETX. Unknown types and wrong
  // lengths are ignored: no reply, no event, no state change.
  void HandleFrame(std::span<const std::uint8_t> body);

  // Writes STX, body, ETX.
  WriteResult SendFrame(std::span<const std::uint8_t> body);
  // Writes bytes unframed through the writer (a failure with none set).
  WriteResult WriteRaw(std::span<const std::uint8_t> bytes);

  void SetWriter(LineWriter* writer) { writer_.store(writer); }
  void SetSink(EngineSink* sink) { sink_.store(sink); }

  bool LoadImageFile(const std::string& path, bool secret = false) {
    return image_.LoadImageFile(path, secret);
  }
  ImageFile& image() { return image_; }

  // What has been served so far: data requests answered and their bytes.
  std::uint64_t requests_served() const { return requests_served_.load(std::memory_order_relaxed); }
  std::uint64_t bytes_served() const { return bytes_served_.load(std::memory_order_relaxed); }

 private:
  void OnBootUp();
  void OnDataRequest(std::uint16_t length, std::uint32_t offset);
  void OnTimeRequest();

  WriteResult WriteImageRange(const ImageSnapshot& image, std::uint32_t offset,
                              std::uint16_t length);
  WriteResult WriteZeros(std::size_t count);

  std::atomic<std::uint64_t> requests_served_{0};
  std::atomic<std::uint64_t> bytes_served_{0};
  std::atomic<LineWriter*> writer_{nullptr};
  std::atomic<EngineSink*> sink_{nullptr};
  ImageFile image_;
};

}  // namespace ternis
