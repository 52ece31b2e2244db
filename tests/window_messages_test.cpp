#include "app/window_messages.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <optional>

#include "app/sm_message.h"
#include "protocol/stb_responder.h"
#include "tests/support/box_frames.h"
#include "tests/support/memory_writer.h"
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

std::string Name(SmMessage id) {
  static const std::map<SmMessage, std::string> names{
      {SM_PROGRESS, "SM_PROGRESS"},         {SM_STATUS_TEXT, "SM_STATUS_TEXT"},
      {SM_GET_DATE, "SM_GET_DATE"},         {SM_GET_TIME, "SM_GET_TIME"},
      {SM_STB_START, "SM_STB_START"},       {SM_STB_START_DONE, "SM_STB_START_DONE"},
      {SM_STB_TIME_REQ, "SM_STB_TIME_REQ"}, {SM_STB_DATA_REQ, "SM_STB_DATA_REQ"}};
  return names.at(id);
}

// Records every message as a line: "post SM_PROGRESS 100 37",
// "post SM_STATUS_TEXT Complete KEY file.", "post repaint".
class Recorder : public OwnerWindow {
 public:
  void Post(WindowMessage message) override {
    const bool repaint = std::holds_alternative<RepaintEvent>(message);
    log_.push_back(repaint ? "post repaint" : Line(std::get<SmEvent>(message)));
  }
  static std::string Line(const SmEvent& e) {
    std::string line = "post " + Name(e.id);
    if (e.id == SM_PROGRESS)
      line += " " + std::to_string(e.range) + " " + std::to_string(e.percent);
    if (!e.text.empty()) line += " " + e.text;
    return line;
  }

  Log TakeLog() { return std::exchange(log_, {}); }
  Percents TakePercents() {
    Percents percents;
    for (const std::string& line : TakeLog()) {
      static const std::string prefix = "post SM_PROGRESS 100 ";
      if (line.starts_with(prefix)) percents.push_back(std::stol(line.substr(prefix.size())));
    }
    return percents;
  }

 private:
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

// One frame each, with an image of `image` counting bytes (none: no image
// loaded yet).
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
  };
  for (const auto& c : cases) {  // the rows without an image come first
    if (c.image) LoadImage(test::CountingBytes(*c.image));
    Handle(c.body);
    EXPECT_EQ(owner.TakeLog(), c.log) << testing::PrintToString(c.body);
  }
}

TEST_F(WindowMessagesTest, BootUpWhoseAcknowledgementFailedSkipsOnlyTheStatus) {
  line.StopAfter(1, WriteStatus::kTimedOut, 0);
  Handle(kBootUp);
  EXPECT_EQ(owner.TakeLog(), (Log{"post SM_STB_START", "post SM_STB_START_DONE"}));
}

TEST_F(WindowMessagesTest, FinishingShows99Then100OfTheFileAsItIsNowAndTheTimeRequestRepaintsOnce) {
  LoadImage(test::CountingBytes(1000));
  Handle(test::DataRequestBody(95, 900));
  EXPECT_EQ(owner.TakePercents(), (Percents{99, 100}));
  Handle(test::DataRequestBody(95, 900));  // 99 again: no extra report while set
  EXPECT_EQ(owner.TakePercents(), (Percents{99}));

  const Log time_request{"post SM_STB_TIME_REQ", "post SM_GET_DATE", "post SM_GET_TIME"};
  Handle(kTimeRequest);
  Log finished = time_request;
  finished.insert(finished.end(), {"post SM_PROGRESS 100 100", "post repaint"});
  EXPECT_EQ(owner.TakeLog(), finished);
  Handle(kTimeRequest);  // not finishing: no progress, no repaint
  EXPECT_EQ(owner.TakeLog(), time_request);

  // The next 99 starts the final phase again, of the file as it is now: it
  // grows after loading (sparse).
  ASSERT_EQ(::truncate((dir.path() / "image").c_str(), 50'000'000), 0);
  Handle(test::DataRequestBody(0, 49'500'000));
  EXPECT_EQ(owner.TakePercents(), (Percents{99, 100}));
  Handle(test::DataRequestBody(1000, 49'999'000));
  EXPECT_EQ(owner.TakePercents(), (Percents{100, 100}));
}

}  // namespace
}  // namespace ternis
