#include "app/window_messages.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QObject>
#include <cerrno>
#include <mutex>
#include <optional>
#include <thread>

#include "app/sm_message.h"
#include "app/window_link.h"
#include "protocol/stb_responder.h"
#include "tests/support/box_frames.h"
#include "tests/support/memory_writer.h"
#include "tests/support/message_names.h"
#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Log = std::vector<std::string>;
using Percents = std::vector<std::intptr_t>;

const Bytes kBootUp{0x01};
const Bytes kTimeRequest{0x03};
const std::string kDataArrived =
    "post SM_STATUS_TEXT Data request has been arrived from STB(STB_DATA_REQ).";
const std::string kComplete = "post SM_STATUS_TEXT Complete KEY file.";

std::string TxKey(int length, int offset) {
  return "post SM_STATUS_TEXT TX_KEY : " + std::to_string(length) + " bytes started at " +
         std::to_string(offset);
}

// Records every message as a line, "post SM_PROGRESS 100 37",
// "post SM_STATUS_TEXT Complete KEY file." or "post session changed", and
// counts repaint requests.
class Recorder : public OwnerWindow {
 public:
  void Post(WindowMessage message) override {
    if (std::holds_alternative<RepaintEvent>(message)) {
      ++updates;
    } else if (std::holds_alternative<SessionChangedEvent>(message)) {
      Record("post session changed");
    } else {
      Record(Line(std::get<SmEvent>(message)));
    }
  }
  static std::string Line(const SmEvent& e) {
    std::string line = "post " + test::MessageName(e.id);
    if (e.id == SM_PROGRESS) line += " " + std::to_string(e.range) + " " + std::to_string(e.percent);
    if (!e.text.empty()) line += " " + e.text;
    return line;
  }

  Log TakeLog() {
    std::lock_guard lock(mutex_);
    return std::exchange(log_, {});
  }
  Percents TakePercents() {
    Percents percents;
    for (const std::string& line : TakeLog()) {
      static const std::string prefix = "post SM_PROGRESS 100 ";
      if (line.starts_with(prefix)) percents.push_back(std::stol(line.substr(prefix.size())));
    }
    return percents;
  }

  int updates = 0;

 private:
  void Record(std::string line) {
    std::lock_guard lock(mutex_);
    log_.push_back(std::move(line));
  }
  std::mutex mutex_;
  Log log_;
};

// Hands the engine's events on as the session does, minus the session.
class ToObserver : public EngineSink {
 public:
  explicit ToObserver(SessionObserver& observer) : observer_(observer) {}
  DateTimeCode TimeForReply() override { return {0xC079, 0x124500}; }
  void OnBootUp(const BootUpEvent& event) override { observer_.OnBootUp(event); }
  void OnDataServed(const DataServedEvent& event) override { observer_.OnDataServed(event); }
  void OnNoImage(const NoImageEvent& event) override { observer_.OnNoImage(event); }
  void OnTimeServed(const TimeServedEvent& event) override { observer_.OnTimeServed(event); }

 private:
  SessionObserver& observer_;
};

class WindowMessagesTest : public testing::Test {
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
  Recorder owner;
  WindowMessages messages{owner};
  ToObserver sink{messages};
  StbResponder engine;
};

// One frame each, on a fresh engine with an image of `image` counting
// bytes (none: no image loaded).
TEST_F(WindowMessagesTest, EachFrameGivesItsMessagesInOrder) {
  const Log request{"post SM_STB_DATA_REQ", kDataArrived};
  const auto then = [&](Log tail) {
    tail.insert(tail.begin(), request.begin(), request.end());
    return tail;
  };
  const auto complete = [&](const std::string& first, int length, int offset) {
    return then({"post SM_PROGRESS 100 " + first, "post SM_PROGRESS 100 100", kComplete,
                 TxKey(length, offset)});
  };
  const struct {
    std::optional<std::size_t> image;
    Bytes body;
    Log log;
  } cases[] = {
      {{},
       kBootUp,
       {"post SM_STB_START", "post SM_STATUS_TEXT STB bootup(STB_START).",
        "post SM_STB_START_DONE"}},
      {{},
       test::DataRequestBody(100, 0),
       then({"post SM_STATUS_TEXT No file has been specified."})},
      // Past the end: the raw percent, then complete; exactly at the end too.
      {100, test::DataRequestBody(20, 90), complete("110", 20, 90)},
      {100, test::DataRequestBody(10, 90), complete("100", 10, 90)},
      // The offset reads as a signed number.
      {100, test::DataRequestBody(0xFFFF, 0xFFFFFFFF),
       then({"post SM_PROGRESS 100 4295032830", "post SM_PROGRESS 100 100", kComplete,
             "post SM_STATUS_TEXT TX_KEY : 65535 bytes started at -1"})},
      {0, test::DataRequestBody(10, 0), complete("100", 10, 0)},  // an empty image is complete
      {1000, test::DataRequestBody(0, 500), then({"post SM_PROGRESS 100 50", TxKey(0, 500)})},
      // Fields holding STX and ETX: length 0x0203, offset 0x030302.
      {0x40000,
       {0x02, 0x03, 0x02, 0x02, 0x03, 0x03, 0x00},
       then({"post SM_PROGRESS 100 75", TxKey(515, 197378)})},
  };
  for (const auto& c : cases) {
    StbResponder engine;
    engine.SetWriter(&line);
    engine.SetSink(&sink);
    if (c.image) {
      ASSERT_TRUE(engine.LoadImageFile(dir.Write("image", test::CountingBytes(*c.image))));
    }
    engine.HandleFrame(c.body);
    EXPECT_EQ(owner.TakeLog(), c.log) << testing::PrintToString(c.body);
  }
}

TEST_F(WindowMessagesTest, BootUpWhoseAcknowledgementFailedSkipsOnlyTheStatus) {
  for (const WriteStatus status :
       {WriteStatus::kFailed, WriteStatus::kTimedOut, WriteStatus::kCancelled}) {
    SCOPED_TRACE(WriteStatusName(status));
    line.StopAfter(1, status, status == WriteStatus::kFailed ? EIO : 0);
    Handle(kBootUp);
    EXPECT_EQ(owner.TakeLog(), (Log{"post SM_STB_START", "post SM_STB_START_DONE"}));
  }
}

TEST_F(WindowMessagesTest, DataRequestsWalkTheImageToCompletion) {
  LoadImage(test::CountingBytes(1000));
  for (int offset = 0; offset < 1000; offset += 100) {
    Handle(test::DataRequestBody(100, static_cast<std::uint32_t>(offset)));
    Log expected{"post SM_STB_DATA_REQ", kDataArrived,
                 "post SM_PROGRESS 100 " + std::to_string(offset / 10 + 10)};
    if (offset == 900) expected.insert(expected.end(), {"post SM_PROGRESS 100 100", kComplete});
    expected.push_back(TxKey(100, offset));
    EXPECT_EQ(owner.TakeLog(), expected) << "offset " << offset;
  }
}

TEST_F(WindowMessagesTest, FinishingShows99Then100AndTheTimeRequestRepaintsOnce) {
  LoadImage(test::CountingBytes(1000));
  Handle(test::DataRequestBody(95, 900));
  EXPECT_EQ(owner.TakePercents(), (Percents{99, 100}));
  Handle(test::DataRequestBody(95, 900));  // 99 again: no extra report while set
  EXPECT_EQ(owner.TakePercents(), (Percents{99}));

  Handle(kTimeRequest);
  EXPECT_EQ(owner.TakeLog(), (Log{"post SM_STB_TIME_REQ", "post SM_GET_DATE", "post SM_GET_TIME",
                                  "post SM_PROGRESS 100 100"}));
  EXPECT_EQ(owner.updates, 1);

  Handle(kTimeRequest);  // not finishing: no progress, no repaint
  EXPECT_EQ(owner.TakeLog(), (Log{"post SM_STB_TIME_REQ", "post SM_GET_DATE", "post SM_GET_TIME"}));
  EXPECT_EQ(owner.updates, 1);

  Handle(test::DataRequestBody(95, 900));  // the next 99 starts the final phase again
  EXPECT_EQ(owner.TakePercents(), (Percents{99, 100}));
}

TEST_F(WindowMessagesTest, PercentFollowsTheFileAsItIsNow) {
  const std::string path = dir.Write("big", test::CountingBytes(1000));
  ASSERT_TRUE(engine.LoadImageFile(path));
  ASSERT_EQ(::truncate(path.c_str(), 50'000'000), 0);  // grows after loading (sparse)
  Handle(test::DataRequestBody(0, 49'500'000));
  EXPECT_EQ(owner.TakePercents(), (Percents{99, 100}));
  Handle(test::DataRequestBody(1000, 49'999'000));
  EXPECT_EQ(owner.TakePercents(), (Percents{100, 100}));
}

TEST_F(WindowMessagesTest, LostDeviceAndSessionChanges) {
  messages.OnDeviceLost(5);
  EXPECT_EQ(owner.TakeLog(), Log{"post SM_NOTIFY_ERROR_CODE ReadFile::5"});
  messages.OnDeviceLost(ENODEV);
  EXPECT_EQ(owner.TakeLog(), Log{"post SM_NOTIFY_ERROR_CODE ReadFile::19"});
  messages.OnChanged();
  EXPECT_EQ(owner.TakeLog(), Log{"post session changed"});
  EXPECT_EQ(owner.updates, 0);
}

// A window that hands the link's events to it, as the main window does.
class LinkTarget : public QObject {
 public:
  bool event(QEvent* event) override {
    return (link && link->Deliver(event)) || QObject::event(event);
  }
  WindowLink* link = nullptr;
};

// The receive thread posts and goes on while the window turns no events;
// later the window gets every message in order, each text as it was when
// posted although the sender's buffer has been reused since.
TEST(WindowLinkContract, PostsNeverWaitAndTextsArriveIntactInOrder) {
  LinkTarget target;
  Log handled;
  WindowLink link(&target, [&](const WindowMessage& message) {
    handled.push_back(Recorder::Line(std::get<SmEvent>(message)));
  });
  target.link = &link;
  std::thread receive_thread([&] {
    char buffer[32];
    for (int i = 0; i < 3; ++i) {
      std::snprintf(buffer, sizeof buffer, "text %d", i);
      link.Post(SmEvent(SM_STATUS_TEXT, buffer));
      link.Post(SmEvent(SM_PROGRESS, 100, i));
    }
  });
  receive_thread.join();  // would hang if a message waited for the window
  EXPECT_TRUE(handled.empty());
  QCoreApplication::sendPostedEvents(&target);
  EXPECT_EQ(handled, (Log{"post SM_STATUS_TEXT text 0", "post SM_PROGRESS 100 0",
                          "post SM_STATUS_TEXT text 1", "post SM_PROGRESS 100 1",
                          "post SM_STATUS_TEXT text 2", "post SM_PROGRESS 100 2"}));
}

}  // namespace
}  // namespace ternis
