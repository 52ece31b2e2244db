// A station of several slots over real pseudo-terminals with stb-sim boxes:
// what both front ends rely on.

#include "station/station.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/support/box_frames.h"
#include "tests/support/process.h"
#include "tests/support/pty_box.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace ternis {
namespace {

using test::Process;
using namespace std::chrono_literals;

// The owner's loop: serve until `done` says so (or a safety limit passes).
void ServeUntil(Station& station, const std::function<bool()>& done) {
  for (int i = 0; i < 2000 && !done(); ++i) {
    station.Service(std::chrono::steady_clock::now());
    std::this_thread::sleep_for(5ms);
  }
}

class StationTest : public testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir.path() / name).string(); }

  std::unique_ptr<Process> StartBox(const std::string& link, std::vector<std::string> args) {
    args.insert(args.begin(), {"--reference", image});
    return test::StartSimBox(STB_SIM_PATH, Path(link), std::move(args));
  }

  test::TempDir dir;
  std::string image = dir.Write("image.bin", test::CountingBytes(20'000));
  Station station{StationSettings{}, [] {}};
};

// A whole unit between two turns: its start is told before its result, and
// so it is when the line changes first (the slot restarts with news held).
TEST_F(StationTest, NewsOfOneTurnIsToldInTheOrderItHappened) {
  std::string error;
  ASSERT_TRUE(station.LoadImage(image, error)) << error;
  for (const bool line_changed_first : {false, true}) {
    SCOPED_TRACE(line_changed_first ? "line changed first" : "plain turn");
    const std::string name = line_changed_first ? "b" : "a";
    auto box = StartBox(name, {});
    ASSERT_TRUE(station.AddSlot({name, Path(name)}, error));
    const std::size_t slot = station.slot_count() - 1;
    ASSERT_TRUE(test::WaitUntil([&] { return station.View(slot).snapshot.passed > 0; }));
    if (line_changed_first) {
      ASSERT_TRUE(station.SetLine(LineSettings{}, error)) << error;
    }
    std::vector<std::string> told;
    for (const StationEvent& e : station.Service(std::chrono::steady_clock::now())) {
      if (e.slot != slot) continue;
      if (e.kind == StationEvent::Kind::kUnitEnded) told.push_back("unit ended");
      if (e.kind == StationEvent::Kind::kNotice) told.push_back(e.notice.text);
    }
    ASSERT_GE(told.size(), 2u);
    EXPECT_EQ(told[0], "box booted");
    EXPECT_EQ(told[1], "unit ended");
    EXPECT_EQ(box->Wait(), 0);
  }
}

TEST_F(StationTest, SlotsChangeOnlyWhileIdle) {
  std::string error;
  ASSERT_TRUE(station.LoadImage(image, error));
  auto quiet = StartBox("quiet", {"--stop-after", "3", "--hold", "10"});
  ASSERT_TRUE(station.AddSlot({"quiet", Path("quiet")}, error));
  ASSERT_TRUE(station.AddSlot({"spare", Path("nothing-here")}, error));
  EXPECT_FALSE(station.AddSlot({"quiet", Path("other")}, error)) << "the name is taken";
  ServeUntil(station,
             [&] { return station.View(0).in_unit && station.View(0).snapshot.requests >= 3; });

  // Each change refused with its reason.
  const std::pair<std::function<bool()>, std::string> refused[] = {
      {[&] { return station.RemoveSlot(0, error); }, "removed only while no unit"},
      {[&] { return station.RenameSlot(0, "other", error); }, "renamed only while no unit"},
      {[&] { return station.ChangeDevice(0, Path("x"), error); }, "changed only while no unit"},
      {[&] { return station.SetLine(LineSettings{}, error); }, "a unit is in progress"},
      {[&] { return station.RenameSlot(1, "quiet", error); }, "the name is taken"},
      {[&] { return station.RenameSlot(1, "no spaces", error); }, "a slot name is letters"},
  };
  for (const auto& [change, reason] : refused) {
    error.clear();
    EXPECT_FALSE(change()) << reason;
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
  EXPECT_TRUE(station.RenameSlot(1, "spare-2", error));
  EXPECT_TRUE(station.ChangeDevice(1, Path("elsewhere"), error)) << error;
  EXPECT_EQ(station.spec(1), (SlotSpec{"spare-2", Path("elsewhere")}));
  EXPECT_TRUE(station.RemoveSlot(1, error)) << "waiting for its device is idle";
  EXPECT_EQ(station.slot_count(), 1u);

  // Stopping records the unit in progress as aborted, told after its start
  // when the loop above had not heard of that yet.
  const auto stopped = station.StopAll();
  ASSERT_FALSE(stopped.empty());
  const auto told = [](const StationEvent& e) { return e.kind != StationEvent::Kind::kNotice; };
  EXPECT_EQ(std::count_if(stopped.begin(), stopped.end(), told), 1);
  EXPECT_EQ(stopped.back().kind, StationEvent::Kind::kUnitEnded);
  EXPECT_EQ(stopped.back().record.result.outcome, UnitOutcome::kAborted);
  EXPECT_EQ(stopped.back().record.slot, "quiet");
  quiet->Signal(SIGTERM);
}

// A box already running asks for data without booting: its first request
// takes a key, a unit that ended serves nothing more of its key, and an
// empty pool leaves the request unanswered.
TEST(StationKeyPool, DataWithoutABootUpTakesAKeyAndASpentKeyIsNeverServedAgain) {
  test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "pool" / "ready");
  dir.Write("pool/ready/k0", test::Bytes(64, 0xA0));
  dir.Write("pool/ready/k1", test::Bytes(64, 0xB1));
  StationSettings settings;
  settings.session.unit_timeout = 200ms;
  Station station(settings, [] {});
  std::string error;
  ASSERT_TRUE(station.UseKeyPool((dir.path() / "pool").string(), 0, error)) << error;
  test::PtyBox box;
  ASSERT_TRUE(station.AddSlot({"a", box.port_path()}, error));
  const auto ask = [&] { box.Send(test::Framed(test::DataRequestBody(16, 0))); };
  struct Step {
    test::Bytes expected;  // what the box gets; empty: nothing
    std::size_t spoiled;   // after the unit timed out
  };
  const Step steps[] = {{test::Bytes(16, 0xA0), 1}, {test::Bytes(16, 0xB1), 2}, {{}, 2}};
  for (const Step& step : steps) {
    ask();
    EXPECT_EQ(step.expected.empty() ? box.TakeAll(300ms) : box.Take(16), step.expected);
    ServeUntil(station, [&] {
      return station.PoolCounts().spoiled == step.spoiled && !station.View(0).in_unit;
    });
    EXPECT_EQ(station.PoolCounts().spoiled, step.spoiled);
  }
  ServeUntil(station, [&] { return station.View(0).snapshot.state == SlotState::kWaitingForKey; });
  EXPECT_EQ(station.View(0).snapshot.state, SlotState::kWaitingForKey);
  EXPECT_EQ(station.PoolCounts().issued, 0u);
}

}  // namespace
}  // namespace ternis
