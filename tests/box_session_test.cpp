// The box session over real pseudo-terminals, the test speaking for the
// box; whole units against stb-sim run end to end in ternis_serve_test and
// download_dialog_test.

#include "station/box_session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "tests/support/box_frames.h"
#include "tests/support/pty_box.h"
#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// A device that cannot be used is tried again and again; the reason is told
// once, and again only when it changes.
TEST(BoxSessionRetry, AReasonIsToldOncePerChange) {
  test::TempDir dir;
  SteadyTime now{};
  SessionClock clock;
  clock.steady = [&now] { return now; };
  SessionOptions options;
  options.wait_for_missing = true;
  // Five more attempts: how often a reason was told.
  const auto told_on_retries = [&now](BoxSession& session) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      now += 10s;
      session.Service();
    }
    const auto notices = session.TakeNotices();
    return std::count_if(notices.begin(), notices.end(),
                         [](const SessionNotice& n) { return n.kind == NoticeKind::kCannotOpen; });
  };
  for (const std::string& device : {dir.Write("regular", Bytes(4, 0)), std::string("/dev/null")}) {
    BoxSession session(nullptr, options, clock);
    EXPECT_FALSE(session.Connect(device, {115200, 8, kParityNone, kStopOne}));
    EXPECT_EQ(told_on_retries(session), 1) << device;
    if (device == "/dev/null") break;
    std::filesystem::remove(device);  // another reason: told, once
    EXPECT_EQ(told_on_retries(session), 1) << device;
  }
}

// One box on a pseudo-terminal, one unit after another, its frames split
// over reads or several in one read. The time reply is one reading of the
// clock: a request a millisecond before midnight gets that day's date with
// 23:59:59, never the day with 00:00:00 of the next. A new image waits for
// the unit in progress to end: a box never gets a mix of two files.
TEST(BoxSessionOnPty, FramesInAnyPiecesTheTimeAsOneInstantANewImageForTheNextUnit) {
  std::tm late = test::LocalTime(2026, 12, 7, 23, 59, 59);
  late.tm_isdst = -1;
  const WallTime instant = std::chrono::system_clock::from_time_t(std::mktime(&late)) + 999ms;
  SessionClock clock;
  clock.wall = [instant] { return instant; };
  test::TempDir dir;
  test::PtyBox box;
  BoxSession session(nullptr, {}, clock);
  ASSERT_TRUE(session.LoadImageFile(dir.Write("a", Bytes(10, 0xAA))));
  ASSERT_TRUE(session.Connect(box.port_path(), {115200, 8, kParityNone, kStopOne}));
  const auto ask = [&box](const Bytes& frame, std::size_t reply_length) {
    box.Send(frame);
    return box.Take(reply_length);
  };
  const Bytes boot{0x02, 0x01, 0x03};
  const Bytes read_all = test::Framed(test::DataRequestBody(10, 0));

  EXPECT_EQ(ask(boot, 4), (Bytes{0x02, 0x01, 0x0A, 0x03}));
  EXPECT_EQ(ask(read_all, 10), Bytes(10, 0xAA));
  session.AdoptImageForNextUnit(ImageSnapshot::Load(dir.Write("b", Bytes(10, 0xBB))));
  for (std::uint8_t b : read_all) {  // a frame in as many reads as it has bytes
    box.Send({b});
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(box.Take(10), Bytes(10, 0xAA)) << "the same unit: still the old file";
  const DateTimeCode code = DateTimeCodeFor(test::LocalTime(2026, 12, 7, 23, 59, 59));
  EXPECT_EQ(ask({0x02, 0x03, 0x03}, 8),
            (Bytes{0x02, 0x03, static_cast<std::uint8_t>(code.mjd >> 8),
                   static_cast<std::uint8_t>(code.mjd), 0x23, 0x59, 0x59, 0x03}));
  // The next box, its boot-up and first request in one read.
  EXPECT_EQ(ask(test::Concat(boot, read_all), 14),
            test::Concat({0x02, 0x01, 0x0A, 0x03}, Bytes(10, 0xBB)));
}

// The window's receive thread waits on the window's thread while it tells
// it things. A Configure that has to close the port (not a serial device)
// must let that wait go before it joins the thread, or both wait forever.
class WaitingObserver : public SessionObserver {
 public:
  void OnBootUp(const BootUpEvent&) override {
    waiting.set_value();
    released_by_closing = closing_.wait_for(10s) == std::future_status::ready;
  }
  void OnLinkClosing() override {
    if (!closing_told_.exchange(true)) closing_promise_.set_value();
  }

  std::promise<void> waiting;
  std::atomic<bool> released_by_closing{false};

 private:
  std::promise<void> closing_promise_;
  std::future<void> closing_ = closing_promise_.get_future();
  std::atomic<bool> closing_told_{false};
};

TEST(BoxSessionClosing, ConfigureThatClosesLetsAWaitingReceiveThreadGo) {
  test::TempDir dir;
  const std::string fifo = (dir.path() / "not-a-tty").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  WaitingObserver observer;
  BoxSession session(&observer, {});
  ASSERT_TRUE(session.OpenPath(fifo));
  const int box = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(box, 0);
  const Bytes boot{0x02, 0x01, 0x03};
  ASSERT_EQ(::write(box, boot.data(), boot.size()), static_cast<ssize_t>(boot.size()));
  ASSERT_EQ(observer.waiting.get_future().wait_for(10s), std::future_status::ready);

  auto configured = std::async(std::launch::async, [&] { return session.Configure({}); });
  ASSERT_EQ(configured.wait_for(20s), std::future_status::ready) << "Configure never returned";
  EXPECT_FALSE(configured.get());
  EXPECT_TRUE(observer.released_by_closing) << "the thread was let go only by its own limit";
  EXPECT_EQ(session.port().GetLastStatus(), "It cannot get state of COM port");
  EXPECT_EQ(session.port().GetLastError(), ENOTTY);
  EXPECT_FALSE(session.IsConnected());
  ::close(box);
}

}  // namespace
}  // namespace ternis
