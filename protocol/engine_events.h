#pragma once
// What the engine tells its sink, one call per frame it handled, after the
// reply went out. Calls come on the thread that handles frames (the
// receive thread); a sink must not block for long.

#include <cstdint>

#include "protocol/date_time_code.h"
#include "protocol/image_file.h"
#include "protocol/line_writer.h"

namespace ternis {

struct BootUpEvent {
  WriteStatus ack = WriteStatus::kOk;  // the acknowledgement's write
};

struct DataServedEvent {
  std::uint32_t offset = 0;
  std::uint16_t length = 0;
  std::uint64_t written = 0;     // bytes that reached the line (image, then zeros)
  std::uint64_t image_size = 0;  // the loaded image's size
  std::uint64_t image_id = 0;    // changes whenever another image is loaded
  WriteStatus write = WriteStatus::kOk;
  int write_error = 0;
  // The image served, alive for the call: a view that wants the file's
  // size as it is on disk asks it, at its own cost.
  const ImageSnapshot* image = nullptr;
};

struct NoImageEvent {
  std::uint32_t offset = 0;
  std::uint16_t length = 0;
};

struct TimeServedEvent {
  DateTimeCode code;
  WriteStatus write = WriteStatus::kOk;
};

class EngineSink {
 public:
  virtual ~EngineSink() = default;

  // The date and time to send to the box, from one reading of the clock.
  virtual DateTimeCode TimeForReply() = 0;

  // Before a boot-up is acknowledged, and before a data request is served:
  // false leaves the frame unanswered, with no event (a sink whose next unit
  // has nothing of its own to serve yet; the box asks again).
  virtual bool BeforeBootUp() { return true; }
  virtual bool BeforeData() { return true; }

  virtual void OnBootUp(const BootUpEvent& event) = 0;
  virtual void OnDataServed(const DataServedEvent& event) = 0;
  virtual void OnNoImage(const NoImageEvent& event) = 0;
  virtual void OnTimeServed(const TimeServedEvent& event) = 0;
};

}  // namespace ternis
