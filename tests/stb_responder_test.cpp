#include "protocol/stb_responder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "tests/support/box_frames.h"
#include "tests/support/pty_box.h"
#include "tests/support/recording_owner.h"
#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Log = std::vector<std::string>;
using namespace std::chrono_literals;

Bytes DataRequest(std::uint16_t length, std::uint32_t offset) {
  return test::DataRequestBody(length, offset);
}

const Bytes kBootUp{0x01};
const Bytes kTimeRequest{0x03};
const std::string kDataArrived =
    "send SM_STATUS_TEXT Data request has been arrived from STB(STB_DATA_REQ).";

class StbResponderTest : public testing::Test {
 protected:
  void SetUp() override {
    engine.SetPort(box.port());
    engine.SetOwnerWindow(&owner);
  }

  void LoadImage(const Bytes& bytes) {
    ASSERT_TRUE(engine.LoadImageFile(dir.Write("image", bytes)));
  }
  void Handle(const Bytes& body) { engine.HandleFrame(body); }

  // Fills the port's output until the kernel will take no more. The pty
  // moves bytes to the other side asynchronously, so fill until a pause
  // frees no more room.
  void FillPortOutput() {
    box.StopDraining();
    const Bytes junk(4096, 0x55);
    for (bool accepted = true; accepted;) {
      accepted = false;
      while (::write(box.port(), junk.data(), junk.size()) > 0) accepted = true;
      std::this_thread::sleep_for(20ms);
    }
  }

  test::TempDir dir;
  test::PtyBox box;
  test::RecordingOwner owner;
  StbResponder engine;
};

TEST_F(StbResponderTest, BootUpIsAcknowledged) {
  Handle(kBootUp);
  EXPECT_EQ(box.Take(4), (Bytes{0x02, 0x01, 0x0A, 0x03}));
  EXPECT_EQ(owner.TakeLog(), (Log{"post SM_STB_START", "send SM_STATUS_TEXT STB bootup(STB_START).",
                                  "post SM_STB_START_DONE"}));
}

TEST_F(StbResponderTest, BootUpReplyThatCannotBeWrittenSkipsOnlyTheStatus) {
  box.Hangup();  // writes to the port now fail with EIO
  Handle(kBootUp);
  EXPECT_EQ(owner.TakeLog(), (Log{"post SM_STB_START", "post SM_STB_START_DONE"}));
  engine.SetPort(-1);
  Handle(kBootUp);
  EXPECT_EQ(owner.TakeLog(), (Log{"post SM_STB_START", "post SM_STB_START_DONE"}));
}

TEST_F(StbResponderTest, DataRequestsWalkTheImageToCompletion) {
  const Bytes image = test::CountingBytes(1000);
  LoadImage(image);
  for (std::uint32_t offset = 0; offset < 1000; offset += 100) {
    Handle(DataRequest(100, offset));
    ASSERT_EQ(box.Take(100), Bytes(image.begin() + offset, image.begin() + offset + 100));
    const Log log = owner.TakeLog();
    const std::string percent = std::to_string(offset / 10 + 10);
    const std::string tx =
        "send SM_STATUS_TEXT TX_KEY : 100 bytes started at " + std::to_string(offset);
    if (offset < 900) {
      EXPECT_EQ(log,
                (Log{"post SM_STB_DATA_REQ", kDataArrived, "post SM_PROGRESS 100 " + percent, tx}));
    } else {
      EXPECT_EQ(log,
                (Log{"post SM_STB_DATA_REQ", kDataArrived, "post SM_PROGRESS 100 100",
                     "post SM_PROGRESS 100 100", "send SM_STATUS_TEXT Complete KEY file.", tx}));
    }
  }
  EXPECT_EQ(engine.finishing(), 0u);  // 99 was never hit
  EXPECT_EQ(box.TakeAll(), Bytes{});
  EXPECT_EQ(engine.requests_served(), 10u);
  EXPECT_EQ(engine.bytes_served(), 1000u);
}

TEST_F(StbResponderTest, FinishingIsSetAt99AndClearedByTheNextTimeRequest) {
  LoadImage(test::CountingBytes(1000));
  Handle(DataRequest(95, 900));
  EXPECT_EQ(owner.TakePercents(), (std::vector<std::intptr_t>{99, 100}));
  EXPECT_EQ(engine.finishing(), 1u);

  Handle(DataRequest(95, 900));  // 99 again: no extra report while set
  EXPECT_EQ(owner.TakePercents(), (std::vector<std::intptr_t>{99}));
  EXPECT_EQ(engine.finishing(), 1u);

  Handle(kTimeRequest);
  EXPECT_EQ(engine.finishing(), 0u);
  EXPECT_EQ(owner.TakeLog(), (Log{"post SM_STB_TIME_REQ", "send SM_GET_DATE", "send SM_GET_TIME",
                                  "post SM_PROGRESS 100 100"}));
  EXPECT_EQ(owner.updates, 1);

  Handle(kTimeRequest);  // not finishing: no progress, no repaint
  EXPECT_EQ(owner.TakeLog(), (Log{"post SM_STB_TIME_REQ", "send SM_GET_DATE", "send SM_GET_TIME"}));
  EXPECT_EQ(owner.updates, 1);
}

TEST_F(StbResponderTest, TimeReplyCarriesDateAndBcdTime) {
  owner.date_answer = 0x1CC71;  // bits above 15 must not reach the box
  owner.time_answer = 0x130509;
  Handle(kTimeRequest);
  EXPECT_EQ(box.Take(8), (Bytes{0x02, 0x03, 0xCC, 0x71, 0x13, 0x05, 0x09, 0x03}));
}

TEST_F(StbResponderTest, DataRequestWithoutImageSendsNothing) {
  Handle(DataRequest(100, 0));
  EXPECT_EQ(owner.TakeLog(), (Log{"post SM_STB_DATA_REQ", kDataArrived,
                                  "send SM_STATUS_TEXT No file has been specified."}));
  EXPECT_EQ(box.TakeAll(), Bytes{});

  LoadImage(test::CountingBytes(10));  // later requests are served normally
  Handle(DataRequest(10, 0));
  EXPECT_EQ(box.Take(10), test::CountingBytes(10));
}

TEST_F(StbResponderTest, ImageThatFailedToLoadCountsAsNone) {
  LoadImage(test::CountingBytes(10));
  EXPECT_FALSE(engine.LoadImageFile(""));
  Handle(DataRequest(10, 0));
  EXPECT_EQ(owner.TakeLog().back(), "send SM_STATUS_TEXT No file has been specified.");
  EXPECT_EQ(box.TakeAll(), Bytes{});
}

TEST_F(StbResponderTest, UnknownTypesAndWrongLengthsAreIgnored) {
  LoadImage(test::CountingBytes(1000));
  Handle(DataRequest(95, 900));  // finishing = 1, which no ignored body may clear
  owner.TakeLog();
  box.Take(95);
  const Bytes ignored[] = {
      {0x01, 0x0A},           // boot-up body of length 2
      {0x03, 0x00},           // time request of length 2
      {0x02, 0, 1, 0, 0, 0},  // data request one byte short
      {0x02, 0, 1, 0, 0, 0, 0, 0},
      {0x00},
      {0x04},
      {0xFF, 0x01, 0x02},
      {},
  };
  for (const Bytes& body : ignored) Handle(body);
  EXPECT_EQ(owner.TakeLog(), Log{});
  EXPECT_EQ(box.TakeAll(), Bytes{});
  EXPECT_EQ(engine.finishing(), 1u);
}

TEST_F(StbResponderTest, RequestsPastTheEndGetExactlyTheLengthPaddedWithZeros) {
  LoadImage(test::CountingBytes(100));

  Handle(DataRequest(20, 90));  // straddles the end
  const Bytes image = test::CountingBytes(100);
  Bytes expected(image.begin() + 90, image.end());
  expected.resize(20, 0x00);
  EXPECT_EQ(box.Take(20), expected);
  EXPECT_EQ(owner.TakeLog(),
            (Log{"post SM_STB_DATA_REQ", kDataArrived, "post SM_PROGRESS 100 110",
                 "post SM_PROGRESS 100 100", "send SM_STATUS_TEXT Complete KEY file.",
                 "send SM_STATUS_TEXT TX_KEY : 20 bytes started at 90"}));

  Handle(DataRequest(10, 90));  // ends exactly at the end: complete too
  EXPECT_EQ(box.Take(10), Bytes(expected.begin(), expected.begin() + 10));
  EXPECT_EQ(owner.TakePercents(), (std::vector<std::intptr_t>{100, 100}));

  Handle(DataRequest(0xFFFF, 0xFFFFFFFF));  // wholly outside, at the top of the range
  EXPECT_EQ(box.Take(0xFFFF), Bytes(0xFFFF, 0x00));
  const Log log = owner.TakeLog();
  EXPECT_EQ(log[2], "post SM_PROGRESS 100 " + std::to_string((0xFFFFFFFFull + 0xFFFF) * 100 / 100));
  EXPECT_EQ(log.back(), "send SM_STATUS_TEXT TX_KEY : 65535 bytes started at -1");
  EXPECT_EQ(box.TakeAll(), Bytes{});
}

TEST_F(StbResponderTest, EmptyImageIsCompleteWithoutDividingByZero) {
  LoadImage({});
  Handle(DataRequest(10, 0));
  EXPECT_EQ(box.Take(10), Bytes(10, 0x00));
  EXPECT_EQ(owner.TakeLog(),
            (Log{"post SM_STB_DATA_REQ", kDataArrived, "post SM_PROGRESS 100 100",
                 "post SM_PROGRESS 100 100", "send SM_STATUS_TEXT Complete KEY file.",
                 "send SM_STATUS_TEXT TX_KEY : 10 bytes started at 0"}));
}

TEST_F(StbResponderTest, ZeroLengthRequestWritesNothingAndReportsItsOffset) {
  LoadImage(test::CountingBytes(1000));
  Handle(DataRequest(0, 500));
  EXPECT_EQ(owner.TakePercents(), (std::vector<std::intptr_t>{50}));
  EXPECT_EQ(box.TakeAll(), Bytes{});
}

TEST_F(StbResponderTest, PercentagesUse64BitArithmeticAndTheCurrentFileSize) {
  const std::string path = dir.Write("big", test::CountingBytes(1000));
  ASSERT_TRUE(engine.LoadImageFile(path));
  ASSERT_EQ(::truncate(path.c_str(), 50'000'000), 0);  // grows after loading (sparse)

  Handle(DataRequest(0, 49'500'000));  // 32-bit products would wrap here
  EXPECT_EQ(owner.TakePercents(), (std::vector<std::intptr_t>{99, 100}));
  Handle(DataRequest(1000, 49'999'000));
  EXPECT_EQ(owner.TakePercents(), (std::vector<std::intptr_t>{100, 100}));
  Handle(DataRequest(100, 0));  // served from the snapshot taken at load time
  EXPECT_EQ(box.Take(1000 + 100), [] {
    Bytes b(1000, 0x00);  // past the snapshot: zeros
    const Bytes head = test::CountingBytes(100);
    b.insert(b.end(), head.begin(), head.end());
    return b;
  }());
}

TEST_F(StbResponderTest, LargestRequestArrivesWholeThroughChunkedWrites) {
  const Bytes image = test::CountingBytes(100'000);
  LoadImage(image);
  Handle(DataRequest(0xFFFF, 1234));
  EXPECT_EQ(box.Take(0xFFFF), Bytes(image.begin() + 1234, image.begin() + 1234 + 0xFFFF));
  EXPECT_EQ(box.TakeAll(), Bytes{});
}

TEST_F(StbResponderTest, FieldsHoldingStxAndEtxAreDecodedLikeAnyOther) {
  const Bytes image = test::CountingBytes(0x40000);
  LoadImage(image);
  Handle({0x02, 0x03, 0x02, 0x02, 0x03, 0x03, 0x00});  // length 0x0203, offset 0x030302
  EXPECT_EQ(box.Take(0x203), Bytes(image.begin() + 0x30302, image.begin() + 0x30302 + 0x203));
  EXPECT_EQ(owner.TakeLog().back(), "send SM_STATUS_TEXT TX_KEY : 515 bytes started at 197378");
}

TEST_F(StbResponderTest, StalledWriteGivesUpAtTheWriteTimeout) {
  FillPortOutput();
  engine.SetWriteTimeoutPerByte(1);
  EXPECT_EQ(engine.WriteRaw(Bytes(100, 0x11)), 0u);  // returns after about 100 ms
}

TEST_F(StbResponderTest, StalledWriteWithoutTimeoutEndsWhenCancelled) {
  FillPortOutput();
  int cancel[2];
  ASSERT_EQ(::pipe(cancel), 0);
  engine.SetCancelFd(cancel[0]);
  std::thread closer([&] {
    std::this_thread::sleep_for(50ms);
    (void)!::write(cancel[1], "x", 1);
  });
  EXPECT_EQ(engine.WriteRaw(Bytes(100, 0x11)), 0u);  // would block forever without the cancel
  closer.join();
  ::close(cancel[0]);
  ::close(cancel[1]);
}

// Loads on one thread while requests are served on another: every reply is
// wholly from one image, never a mix or freed memory.
TEST_F(StbResponderTest, ImageReplacedDuringRequestsIsNeverPulledAway) {
  const std::string a = dir.Write("a", Bytes(64 * 1024, 0xAA));
  const std::string b = dir.Write("b", Bytes(1000, 0xBB));
  ASSERT_TRUE(engine.LoadImageFile(a));
  engine.SetOwnerWindow(nullptr);
  std::atomic<bool> done{false};
  std::thread loader([&] {
    for (int i = 0; !done; ++i) ASSERT_TRUE(engine.LoadImageFile(i % 2 ? a : b));
  });
  Bytes from_b(1000, 0xBB);
  from_b.resize(2000, 0x00);
  for (int i = 0; i < 300; ++i) {
    Handle(DataRequest(2000, 0));
    const Bytes reply = box.Take(2000);
    ASSERT_TRUE(reply == Bytes(2000, 0xAA) || reply == from_b) << "request " << i;
  }
  done = true;
  loader.join();
}

}  // namespace
}  // namespace ternis
