// Cost of one data request through HandleFrame, the port writer and the
// unit accounting into /dev/null, and the frame assembler's throughput.
// Prints allocations per request, which must stay 0 for a box reading in
// order: the request path neither copies the image nor allocates.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <mutex>

#include "bench/alloc_counter.h"
#include "link/port_writer.h"
#include "protocol/frame_assembler.h"
#include "protocol/stb_responder.h"
#include "station/unit_tracker.h"
#include "tests/support/box_frames.h"

namespace {

using ternis::bench::AllocationCount;

constexpr std::size_t kImageSize = 1 << 20;

// What a box session does per frame: count it, under its lock.
class AccountingSink : public ternis::EngineSink {
 public:
  ternis::DateTimeCode TimeForReply() override { return {}; }
  void OnBootUp(const ternis::BootUpEvent& e) override { Count(&ternis::UnitTracker::OnBootUp, e); }
  void OnDataServed(const ternis::DataServedEvent& e) override {
    Count(&ternis::UnitTracker::OnDataServed, e);
  }
  void OnNoImage(const ternis::NoImageEvent&) override {}
  void OnTimeServed(const ternis::TimeServedEvent& e) override {
    Count(&ternis::UnitTracker::OnTimeServed, e);
  }

 private:
  template <typename Event, typename Handler>
  void Count(Handler handler, const Event& event) {
    std::lock_guard lock(mutex_);
    const ternis::Instant now{std::chrono::steady_clock::now(), std::chrono::system_clock::now()};
    benchmark::DoNotOptimize((tracker_.*handler)(event, now));
  }
  std::mutex mutex_;
  ternis::UnitTracker tracker_;
};

std::string WriteImage() {
  char path[] = "/tmp/ternis-bench-image-XXXXXX";
  const int fd = ::mkstemp(path);
  std::vector<char> bytes(kImageSize, 'x');
  if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
  ::close(fd);
  return path;
}

std::vector<std::uint8_t> DataRequest(std::uint16_t length, std::uint32_t offset) {
  return ternis::test::DataRequestBody(length, offset);
}

void BenchDataRequest(benchmark::State& state) {
  const auto length = static_cast<std::uint16_t>(state.range(0));
  const std::string path = WriteImage();
  AccountingSink accounting;
  ternis::PortWriter writer;
  ternis::StbResponder engine;
  const int sink = ::open("/dev/null", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  writer.SetPort(sink);
  engine.SetWriter(&writer);
  engine.SetSink(&accounting);
  if (!engine.LoadImageFile(path)) std::abort();
  ::unlink(path.c_str());

  std::vector<std::vector<std::uint8_t>> requests;
  for (std::uint32_t offset = 0; offset + length <= kImageSize; offset += length)
    requests.push_back(DataRequest(length, offset));

  std::size_t next = 0;
  const std::uint64_t allocations_before = AllocationCount();
  for (auto _ : state) {
    engine.HandleFrame(requests[next]);
    next = next + 1 == requests.size() ? 0 : next + 1;
  }
  const double allocations = static_cast<double>(AllocationCount() - allocations_before);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * length);
  state.counters["allocs_per_request"] =
      benchmark::Counter(allocations / static_cast<double>(state.iterations()));
  ::close(sink);
}
BENCHMARK(BenchDataRequest)->Arg(1024)->Arg(4096);

// A realistic stream: boot-up, then data requests with time requests and a
// little noise between them.
std::vector<std::uint8_t> BoxStream(std::size_t size) {
  std::vector<std::uint8_t> stream;
  std::uint32_t offset = 0;
  while (stream.size() < size) {
    const auto request = DataRequest(1024, offset += 1024);
    stream.push_back(0x02);
    stream.insert(stream.end(), request.begin(), request.end());
    stream.push_back(0x03);
    if (offset % (64 * 1024) == 0) stream.insert(stream.end(), {0x55, 0x02, 0x03, 0x03});
  }
  return stream;
}

void BenchFrameAssembler(benchmark::State& state) {
  const auto stream = BoxStream(1 << 20);
  std::size_t frames = 0;
  for (auto _ : state) {
    ternis::FrameAssembler assembler;
    for (std::size_t at = 0; at < stream.size(); at += ternis::kReadChunk) {
      const std::size_t n = std::min(ternis::kReadChunk, stream.size() - at);
      assembler.Feed(std::span(stream.data() + at, n),
                     [&](std::span<const std::uint8_t> body) { frames += body.size(); });
    }
    benchmark::DoNotOptimize(frames);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BenchFrameAssembler);

}  // namespace

BENCHMARK_MAIN();
