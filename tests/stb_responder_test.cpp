#include "protocol/stb_responder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <thread>

#include "tests/support/box_frames.h"
#include "tests/support/memory_writer.h"
#include "tests/support/recording_sink.h"
#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Log = std::vector<std::string>;

constexpr auto* DataRequest = &test::DataRequestBody;

using test::Concat;
using test::Slice;

const Bytes kBootUp{0x01};
const Bytes kTimeRequest{0x03};

class StbResponderTest : public testing::Test {
 protected:
  void SetUp() override {
    engine.SetWriter(&line);
    engine.SetSink(&sink);
  }

  void LoadImage(const Bytes& bytes) {
    ASSERT_TRUE(engine.LoadImageFile(dir.Write("image", bytes)));
  }
  void Handle(const Bytes& body) { engine.HandleFrame(body); }

  test::TempDir dir;
  test::MemoryWriter line;
  test::RecordingSink sink;
  StbResponder engine;
};

TEST_F(StbResponderTest, BootUpIsAcknowledgedAndAnAckCutShortIsReported) {
  Handle(kBootUp);
  EXPECT_EQ(line.Take(), (Bytes{0x02, 0x01, 0x0A, 0x03}));
  EXPECT_EQ(sink.TakeLog(), Log{"boot ok"});
  const std::pair<WriteStatus, const char*> stopped[] = {
      {WriteStatus::kFailed, "boot write failed"},
      {WriteStatus::kTimedOut, "boot write timed out"},
      {WriteStatus::kCancelled, "boot write cancelled"},
  };
  for (const auto& [status, logged] : stopped) {
    line.StopAfter(2, status, EIO);
    Handle(kBootUp);
    EXPECT_EQ(line.Take(), (Bytes{0x02, 0x01}));
    EXPECT_EQ(sink.TakeLog(), Log{logged});
  }
}

TEST_F(StbResponderTest, TimeReplyCarriesTheSinksCodeAsItIs) {
  const struct {
    DateTimeCode code;
    Bytes reply;
    const char* line;
  } cases[] = {
      {{0xC079, 0x124500}, {0x02, 0x03, 0xC0, 0x79, 0x12, 0x45, 0x00, 0x03}, "time c079124500 ok"},
      // Only the six digits of the time fit the reply; the byte above them must not leak.
      {{0xCC71, 0xAB130509},
       {0x02, 0x03, 0xCC, 0x71, 0x13, 0x05, 0x09, 0x03},
       "time cc71ab130509 ok"},
      // Frame bytes inside the fields go out unescaped.
      {{0x0203, 0x020302}, {0x02, 0x03, 0x02, 0x03, 0x02, 0x03, 0x02, 0x03}, "time 0203020302 ok"},
  };
  int questions = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    sink.SetTimeAnswer(c.code);
    Handle(kTimeRequest);
    EXPECT_EQ(line.Take(), c.reply);
    EXPECT_EQ(sink.TakeLog(), Log{c.line});
    EXPECT_EQ(sink.time_questions(), ++questions) << "one reading of the clock per request";
  }
}

// Nothing is sent for a frame without a meaning, nor for data while no
// image is loaded (that one is reported).
TEST_F(StbResponderTest, UnknownFramesAndRequestsWithoutAnImageSendNothing) {
  Handle(DataRequest(100, 0));
  EXPECT_EQ(sink.TakeLog(), Log{"no-image 100@0"});
  EXPECT_EQ(line.writes(), 0u);
  LoadImage(test::CountingBytes(1000));
  Handle(DataRequest(95, 900));
  sink.TakeLog();
  const std::size_t writes_before = line.writes();
  const Bytes ignored[] = {
      {0x01, 0x0A},           // boot-up body of length 2
      {0x03, 0x00},           // time request of length 2
      {0x02, 0, 1, 0, 0, 0},  // data request one byte short
      {0x02, 0, 1, 0, 0, 0, 0, 0},
      {0x02},
      {0x00},
      {0x04},
      {0x0A},
      {0xFF, 0x01, 0x02},
      {},
  };
  for (const Bytes& body : ignored) Handle(body);
  EXPECT_EQ(sink.TakeLog(), Log{});
  EXPECT_EQ(line.writes(), writes_before);
  EXPECT_EQ(sink.time_questions(), 0);
}

// Exactly the length asked for: the image's bytes, then zeros past its end
// (these go out in pieces; a long run must still be exact).
TEST_F(StbResponderTest, RequestsPastTheEndGetExactlyTheLengthPaddedWithZeros) {
  const Bytes image = test::CountingBytes(10'000);
  LoadImage(image);
  const struct {
    std::uint16_t length;
    std::uint32_t offset;
    std::size_t from_image;
  } cases[] = {
      {20, 9990, 10},           // straddles the end
      {10, 9990, 10},           // ends exactly at the end
      {10, 9989, 10},           // one short of the end
      {0, 5000, 0},             // nothing to send, still reported
      {0xFFFF, 5000, 5000},     // largest, straddling
      {0xFFFF, 0xFFFFFFFF, 0},  // wholly outside, at the top
  };
  for (const auto& c : cases) {
    const std::string range = std::to_string(c.length) + "@" + std::to_string(c.offset);
    SCOPED_TRACE(range);
    Handle(DataRequest(c.length, c.offset));
    const std::size_t start = std::min<std::size_t>(c.offset, image.size());
    EXPECT_EQ(line.Take(),
              Concat(Slice(image, start, c.from_image), Bytes(c.length - c.from_image, 0x00)));
    EXPECT_EQ(sink.TakeLog(),
              Log{"data " + range + " wrote " + std::to_string(c.length) + " ok image 10000"});
  }

  // The file grows after loading: served is the snapshot taken at load.
  std::ofstream(dir.path() / "image", std::ios::app) << std::string(100, '\xEE');
  Handle(DataRequest(20, 9990));
  EXPECT_EQ(line.Take(), Concat(Slice(image, 9990, 10), Bytes(10, 0x00)));
  EXPECT_EQ(sink.TakeLog(), Log{"data 20@9990 wrote 20 ok image 10000"});

  LoadImage({});  // empty: complete, without dividing by zero
  Handle(DataRequest(10, 0));
  EXPECT_EQ(line.Take(), Bytes(10, 0x00));
  EXPECT_EQ(sink.TakeLog(), Log{"data 10@0 wrote 10 ok image 0"});
}

// A line that stops part-way: the event says how far the reply got and
// why, and nothing more is written for that request (the box would take
// later bytes as the start of something else).
TEST_F(StbResponderTest, ReplyThatStopsPartWayIsReportedAndNotContinued) {
  const Bytes image = test::CountingBytes(100);
  Bytes whole = Slice(image, 90, 10);
  whole.resize(20, 0x00);
  const struct {
    std::size_t stop_after;  // within the image part (< 10) or the zeros
    WriteStatus status;
    int error;
    const char* outcome;
  } cases[] = {
      {5, WriteStatus::kFailed, EIO, "wrote 5 write failed errno 5"},
      {0, WriteStatus::kTimedOut, 0, "wrote 0 write timed out"},
      {9, WriteStatus::kCancelled, 0, "wrote 9 write cancelled"},
      {10, WriteStatus::kTimedOut, 0, "wrote 10 write timed out"},
      {15, WriteStatus::kFailed, ENODEV, "wrote 15 write failed errno 19"},
      {19, WriteStatus::kCancelled, 0, "wrote 19 write cancelled"},
  };
  LoadImage(image);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outcome);
    line.StopAfter(c.stop_after, c.status, c.error);
    Handle(DataRequest(20, 90));
    EXPECT_EQ(line.Take(), Slice(whole, 0, c.stop_after));
    EXPECT_EQ(sink.TakeLog(), Log{std::string("data 20@90 ") + c.outcome + " image 100"});
  }
}

// Loads on one thread while requests are served on another: every reply is
// wholly from one image, never a mix or freed memory, and its event names
// the same image. Serves until the loader has swapped images many times.
TEST_F(StbResponderTest, ImageReplacedDuringRequestsIsNeverPulledAway) {
  const std::string a = dir.Write("a", Bytes(64 * 1024, 0xAA));
  const std::string b = dir.Write("b", Bytes(1000, 0xBB));
  ASSERT_TRUE(engine.LoadImageFile(a));
  std::atomic<int> loads{0};
  std::atomic<bool> load_failed{false};
  std::jthread loader([&](std::stop_token stop) {  // stopped and joined on any way out
    for (int i = 0; !stop.stop_requested(); ++i) {
      if (!engine.LoadImageFile(i % 2 ? a : b)) load_failed = true;
      ++loads;
    }
  });
  const Bytes from_a(2000, 0xAA);
  Bytes from_b(1000, 0xBB);
  from_b.resize(2000, 0x00);
  const Log event_a{"data 2000@0 wrote 2000 ok image 65536"};
  const Log event_b{"data 2000@0 wrote 2000 ok image 1000"};
  for (int i = 0; loads < 200 && i < 1'000'000; ++i) {
    Handle(DataRequest(2000, 0));
    const Bytes reply = line.Take();
    const Log log = sink.TakeLog();
    if (reply == from_a) {
      ASSERT_EQ(log, event_a) << "request " << i;
    } else {
      ASSERT_EQ(reply, from_b) << "request " << i;
      ASSERT_EQ(log, event_b) << "request " << i;
    }
  }
  loader.request_stop();
  loader.join();
  EXPECT_FALSE(load_failed);
}

}  // namespace
}  // namespace ternis
