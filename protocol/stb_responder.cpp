#include "protocol/stb_responder.h"

#include <algorithm>
#include <array>
#include <cerrno>

#include "protocol/constants.h"
#include "protocol/trace.h"

namespace ternis {

namespace {

constexpr std::uint8_t kBootUpAck = 0x0A;
constexpr std::array<std::uint8_t, kWriteChunk> kZeros{};

std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Adds a later write's outcome to an earlier one.
WriteResult& operator+=(WriteResult& total, const WriteResult& more) {
  total.written += more.written;
  total.status = more.status;
  total.error = more.error;
  return total;
}

}  // namespace

void StbResponder::HandleFrame(std::span<const std::uint8_t> body) {
  if (body.empty()) return;
  switch (body[0]) {
    case STB_START:
      if (body.size() == 1) OnBootUp();
      break;
    case STB_DATA_REQ:
      if (body.size() == kDataRequestBodyLength) OnDataRequest(Le16(&body[1]), Le32(&body[3]));
      break;
    case STB_TIME_REQ:
      if (body.size() == 1) OnTimeRequest();
      break;
    default:
      break;
  }
}

void StbResponder::OnBootUp() {
  EngineSink* sink = sink_.load();
  if (sink && !sink->BeforeBootUp()) return;
  const std::uint8_t ack[] = {STB_START, kBootUpAck};
  const BootUpEvent event{SendFrame(ack).status};
  if (sink) sink->OnBootUp(event);
}

void StbResponder::OnDataRequest(std::uint16_t length, std::uint32_t offset) {
  EngineSink* sink = sink_.load();
  if (sink && !sink->BeforeData()) return;
  // Our own reference: a load on the owner's thread cannot pull it away.
  const auto image = image_.Acquire();
  if (!image) {
    if (sink) sink->OnNoImage({offset, length});
    return;
  }

  const WriteResult result = WriteImageRange(*image, offset, length);
  requests_served_.fetch_add(1, std::memory_order_relaxed);
  bytes_served_.fetch_add(result.written, std::memory_order_relaxed);
  if (result.status != WriteStatus::kOk) TERNIS_TRACE("Error in WriteFile : %d\n", result.error);
  TERNIS_TRACE("WriteFile %d bytes started at %d, transimitted %d\n", length,
               static_cast<std::int32_t>(offset), static_cast<int>(result.written));

  DataServedEvent event;
  event.offset = offset;
  event.length = length;
  event.written = result.written;
  event.image_size = image->contents().size();
  event.image_id = image->id();
  event.write = result.status;
  event.write_error = result.error;
  event.image = image.get();
  if (sink) sink->OnDataServed(event);
}

// The box always receives exactly `length` bytes: what the image holds from
// `offset`, then zeros for any part past its end.
WriteResult StbResponder::WriteImageRange(const ImageSnapshot& image, std::uint32_t offset,
                                          std::uint16_t length) {
  const auto contents = image.contents();
  const std::size_t start = std::min<std::size_t>(offset, contents.size());
  const std::size_t available = std::min<std::size_t>(length, contents.size() - start);
  WriteResult result = WriteRaw(contents.subspan(start, available));
  if (result.status == WriteStatus::kOk && available < length)
    result += WriteZeros(length - available);
  return result;
}

WriteResult StbResponder::WriteZeros(std::size_t count) {
  WriteResult result;
  while (result.written < count && result.status == WriteStatus::kOk) {
    const std::size_t n = std::min(count - result.written, kZeros.size());
    result += WriteRaw(std::span(kZeros.data(), n));
  }
  return result;
}

void StbResponder::OnTimeRequest() {
  EngineSink* sink = sink_.load();
  TimeServedEvent event;
  if (sink) event.code = sink->TimeForReply();
  const std::uint8_t reply[] = {
      STB_TIME_REQ,
      static_cast<std::uint8_t>(event.code.mjd >> 8),
      static_cast<std::uint8_t>(event.code.mjd),
      static_cast<std::uint8_t>(event.code.time >> 16),
      static_cast<std::uint8_t>(event.code.time >> 8),
      static_cast<std::uint8_t>(event.code.time),
  };
  event.write = SendFrame(reply).status;
  TERNIS_TRACE("STB TIME REQUEST\n");
  if (sink) sink->OnTimeServed(event);
}

WriteResult StbResponder::SendFrame(std::span<const std::uint8_t> body) {
  std::array<std::uint8_t, kFrameBufferSize> frame;
  if (body.size() + 2 > frame.size()) return {0, WriteStatus::kFailed, EMSGSIZE};
  frame[0] = kStx;
  std::copy(body.begin(), body.end(), frame.begin() + 1);
  frame[body.size() + 1] = kEtx;
  return WriteRaw(std::span(frame.data(), body.size() + 2));
}

WriteResult StbResponder::WriteRaw(std::span<const std::uint8_t> bytes) {
  LineWriter* writer = writer_.load();
  if (!writer) return {0, WriteStatus::kFailed, EBADF};
  const WriteResult result = writer->Write(bytes);
  TERNIS_TRACE("%d bytes have sent\n", static_cast<int>(result.written));
  return result;
}

}  // namespace ternis
