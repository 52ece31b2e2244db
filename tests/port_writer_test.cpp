#include "link/port_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "tests/support/pty_box.h"
#include "tests/support/temp_dir.h"

namespace ternis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

class Pipe {
 public:
  Pipe() {
    if (::pipe(fds_) != 0) throw std::runtime_error("pipe failed");
  }
  ~Pipe() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int read_end() const { return fds_[0]; }
  void Signal() const { (void)!::write(fds_[1], "x", 1); }

 private:
  int fds_[2];
};

class PortWriterTest : public testing::Test {
 protected:
  void SetUp() override { writer.SetPort(box.port()); }

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

  test::PtyBox box;
  PortWriter writer;
};

TEST_F(PortWriterTest, LargestReplyArrivesWholeAndInOrder) {
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

TEST_F(PortWriterTest, StalledLineTimesOutWithinTheLimitPerByte) {
  FillPortOutput();
  writer.SetTimeoutPerByte(1);
  Pipe backstop;  // only so a limit that never fires cannot hang the test
  writer.SetCancelFd(backstop.read_end());
  auto write = std::async(std::launch::async, [&] { return writer.Write(Bytes(100, 0x11)); });
  if (write.wait_for(10s) != std::future_status::ready) backstop.Signal();
  const WriteResult result = write.get();  // gave up after about 100 ms
  EXPECT_EQ(result.status, WriteStatus::kTimedOut);
  EXPECT_LT(result.written, 100u);
  EXPECT_EQ(result.error, 0);
}

TEST_F(PortWriterTest, StalledLineWithoutLimitEndsWhenCancelled) {
  FillPortOutput();
  Pipe cancel;
  writer.SetCancelFd(cancel.read_end());
  auto write = std::async(std::launch::async, [&] { return writer.Write(Bytes(100, 0x11)); });
  std::this_thread::sleep_for(50ms);  // let the write block first
  cancel.Signal();
  // Only so a cancel the write missed cannot hang the test: it then fails instead.
  if (write.wait_for(10s) != std::future_status::ready) box.Hangup();
  const WriteResult result = write.get();
  EXPECT_EQ(result.status, WriteStatus::kCancelled);
  EXPECT_LT(result.written, 100u);
}

TEST_F(PortWriterTest, StalledLineFailsWhenTheBoxHangsUp) {
  FillPortOutput();
  Pipe backstop;  // only so a write the hang-up missed cannot hang the test
  writer.SetCancelFd(backstop.read_end());
  auto write = std::async(std::launch::async, [&] { return writer.Write(Bytes(100, 0x11)); });
  std::this_thread::sleep_for(50ms);  // let the write block first
  box.Hangup();
  if (write.wait_for(10s) != std::future_status::ready) backstop.Signal();
  const WriteResult result = write.get();
  EXPECT_EQ(result.status, WriteStatus::kFailed);
  EXPECT_NE(result.error, 0);
}

TEST_F(PortWriterTest, WriteAfterTheBoxHungUpFails) {
  box.Hangup();
  const WriteResult result = writer.Write(Bytes(10, 0x11));
  EXPECT_EQ(result.status, WriteStatus::kFailed);
  EXPECT_EQ(result.written, 0u);
  EXPECT_NE(result.error, 0);
}

TEST_F(PortWriterTest, WithoutAPortNothingCanBeWritten) {
  PortWriter unset;
  const WriteResult result = unset.Write(Bytes(10, 0x11));
  EXPECT_EQ(result.status, WriteStatus::kFailed);
  EXPECT_EQ(result.written, 0u);
  EXPECT_EQ(result.error, EBADF);

  writer.SetPort(-1);  // and after the port is taken away
  EXPECT_EQ(writer.Write(Bytes(10, 0x11)).status, WriteStatus::kFailed);
  EXPECT_EQ(box.TakeAll(), Bytes{});
}

}  // namespace
}  // namespace ternis
