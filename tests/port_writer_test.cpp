#include "link/port_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "tests/support/pty_box.h"
#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// A cancel descriptor: readable once signalled.
struct Pipe {
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  void Signal() const { (void)!::write(fds[1], "x", 1); }
  int fds[2] = {-1, -1};
};

// Fills the port's output until the kernel will take no more. The pty
// moves bytes to the other side asynchronously, so fill until a pause
// frees no more room.
void FillPortOutput(test::PtyBox& box) {
  box.StopDraining();
  const Bytes junk(4096, 0x55);
  for (bool accepted = true; accepted;) {
    accepted = false;
    while (::write(box.port(), junk.data(), junk.size()) > 0) accepted = true;
    std::this_thread::sleep_for(20ms);
  }
}

TEST(PortWriter, LargestReplyArrivesWholeAndInOrder) {
  test::PtyBox box;
  PortWriter writer;
  writer.SetPort(box.port());
  // 0 is no limit; 10 ms a byte is far more than a pty ever needs, so it
  // must not cut a moving line short.
  for (const std::uint32_t ms_per_byte : {0u, 10u}) {
    SCOPED_TRACE(ms_per_byte);
    writer.SetTimeoutPerByte(ms_per_byte);
    const Bytes bytes = test::CountingBytes(0xFFFF);
    const WriteResult result = writer.Write(bytes);
    EXPECT_EQ(result.status, WriteStatus::kOk);
    EXPECT_EQ(result.written, bytes.size());
    EXPECT_EQ(result.error, 0);
    EXPECT_EQ(box.Take(bytes.size()), bytes);
    EXPECT_EQ(box.TakeAll(), Bytes{});
  }
}

// A line that takes nothing more: the write ends at its time limit (1 ms a
// byte), when the link cancels it, or when the box hangs up, and says which.
TEST(PortWriter, StalledLineEndsByTimeLimitCancelOrHangUp) {
  const struct {
    WriteStatus ending;
    std::uint32_t ms_per_byte;
  } cases[] = {
      {WriteStatus::kTimedOut, 1},
      {WriteStatus::kCancelled, 0},
      {WriteStatus::kFailed, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WriteStatusName(c.ending));
    test::PtyBox box;
    PortWriter writer;
    writer.SetPort(box.port());
    FillPortOutput(box);
    Pipe cancel;
    writer.SetCancelFd(cancel.fds[0]);
    writer.SetTimeoutPerByte(c.ms_per_byte);
    auto write = std::async(std::launch::async, [&] { return writer.Write(Bytes(100, 0x11)); });
    std::this_thread::sleep_for(50ms);  // let the write block first
    if (c.ending == WriteStatus::kCancelled) cancel.Signal();
    if (c.ending == WriteStatus::kFailed) box.Hangup();
    // Only so an ending the write missed cannot hang the test: it then
    // ends another way, with the wrong status.
    if (write.wait_for(10s) != std::future_status::ready) {
      if (c.ending == WriteStatus::kCancelled) {
        box.Hangup();
      } else {
        cancel.Signal();
      }
    }
    const WriteResult result = write.get();
    EXPECT_EQ(result.status, c.ending);
    EXPECT_LT(result.written, 100u);
    EXPECT_EQ(result.error != 0, c.ending == WriteStatus::kFailed) << result.error;
  }
}

TEST(PortWriter, AWriteToAHungUpLineFailsAtOnce) {
  test::PtyBox box;
  PortWriter writer;
  writer.SetPort(box.port());
  box.Hangup();
  const WriteResult result = writer.Write(Bytes(10, 0x11));
  EXPECT_EQ(result.status, WriteStatus::kFailed);
  EXPECT_EQ(result.written, 0u);
  EXPECT_NE(result.error, 0);
}

}  // namespace
}  // namespace ternis
