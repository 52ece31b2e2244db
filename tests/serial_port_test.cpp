#include "link/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <future>
#include <mutex>
#include <thread>

#include "link/port_writer.h"
#include "protocol/stb_responder.h"
#include "tests/support/box_frames.h"
#include "tests/support/process.h"
#include "tests/support/pty_box.h"
#include "tests/support/recording_sink.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace ternis {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

class LossRecorder : public LinkListener {
 public:
  void OnDeviceLost(int error) override {
    std::lock_guard lock(mutex);
    errors.push_back(error);
  }
  std::mutex mutex;
  std::vector<int> errors;
};

class SerialPortTest : public testing::Test {
 protected:
  void Connect() {
    ASSERT_TRUE(port.OpenPath(box.port_path())) << port.GetLastStatus();
    ASSERT_TRUE(port.Configure(115200, 8, kParityNone, kStopOne)) << port.GetLastStatus();
  }
  void SetUp() override {
    engine.SetWriter(&writer);
    engine.SetSink(&sink);
    port.SetWriter(&writer);
    port.SetFrameHandler([this](std::span<const std::uint8_t> body) { engine.HandleFrame(body); });
    port.SetListener(&losses);
  }
  void LoadImage(const Bytes& bytes) {
    ASSERT_TRUE(engine.LoadImageFile(dir.Write("image", bytes)));
  }

  test::TempDir dir;
  test::PtyBox box;
  test::RecordingSink sink;
  LossRecorder losses;
  PortWriter writer;
  StbResponder engine;
  SerialPort port;
};

TEST_F(SerialPortTest, CloseIsBoundedWhileTheBoxStreamsAndStopsReading) {
  LoadImage(test::CountingBytes(100'000));
  Connect();
  box.StopDraining();  // replies back up; the engine ends up waiting for room
  const int box_fd = box.box();
  ::fcntl(box_fd, F_SETFL, ::fcntl(box_fd, F_GETFL) | O_NONBLOCK);
  std::atomic<bool> stop{false};
  std::atomic<bool> backed_up{false};  // the port stopped reading: its thread waits to write
  std::thread flood([&] {
    const Bytes request = test::Framed(test::DataRequestBody(0xFFFF, 0));
    while (!stop) {
      if (::write(box_fd, request.data(), request.size()) >= 0) continue;
      backed_up = true;
      std::this_thread::sleep_for(1ms);
    }
  });
  EXPECT_TRUE(test::WaitUntil([&] { return backed_up.load(); }));
  auto closed = std::async(std::launch::async, [&] { port.Close(); });
  const bool bounded = closed.wait_for(10s) == std::future_status::ready;
  stop = true;
  flood.join();
  ASSERT_TRUE(bounded) << "Close did not return while the box kept sending";
  EXPECT_EQ(port.GetLastStatus(), "Disconnected");
  EXPECT_FALSE(port.IsConnected());
}

TEST_F(SerialPortTest, OtherEndClosingIsReportedOnceAndCostsNoCpu) {
  Connect();
  box.Hangup();
  ASSERT_TRUE(test::WaitUntil([&] { return port.IsDeviceLost(); }));
  const std::clock_t before = std::clock();  // this process's CPU time
  std::this_thread::sleep_for(1s);
  const double spent = double(std::clock() - before) / CLOCKS_PER_SEC;
  EXPECT_LT(spent, 0.1) << "something keeps spinning after the hang-up";
  {
    std::lock_guard lock(losses.mutex);
    EXPECT_EQ(losses.errors, std::vector<int>{EIO});
  }
  EXPECT_FALSE(port.IsConnected());
  port.Close();
  EXPECT_EQ(port.GetLastStatus(), "Disconnected");
}

// The nice value is the receive thread's, and no other thread's.
TEST_F(SerialPortTest, TheReceiveThreadStandsBackByTheNiceItIsGiven) {
  const int own = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
  const int nicer = std::min(own + 4, 19);
  if (nicer == own) GTEST_SKIP() << "the tests run as nice as can be";
  const int before = test::ThreadsOfNice(nicer);
  port.SetReceiveNice(4);
  Connect();
  EXPECT_TRUE(test::WaitUntil([&] { return test::ThreadsOfNice(nicer) == before + 1; }));
  EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())), own);
  port.Close();
  EXPECT_TRUE(test::WaitUntil([&] { return test::ThreadsOfNice(nicer) == before; }));
}

// Held elsewhere or already ours, a port does not open; closed (twice,
// harmlessly) it is released. A port opens by path or by its index.
TEST_F(SerialPortTest, APortHeldElsewhereDoesNotOpenUntilClosed) {
  Connect();
  SerialPort other;
  other.SetPortPaths({{"COM1", box.port_path()}});
  EXPECT_FALSE(other.Open(1));  // COM2 has no device here
  EXPECT_EQ(other.GetLastStatus(), "Cannot open COM port(Error Code=2).");
  EXPECT_FALSE(other.Open(-1));
  EXPECT_FALSE(other.Open(0));
  EXPECT_EQ(other.GetLastStatus(), "Cannot open COM port(Error Code=11).");  // EWOULDBLOCK
  EXPECT_FALSE(port.OpenPath(box.port_path()));  // already ours: refused, link undisturbed
  EXPECT_EQ(port.GetLastStatus(), "Cannot open COM port(Error Code=16).");
  EXPECT_TRUE(port.IsConnected());
  port.Close();
  port.Close();  // twice: harmless
  EXPECT_EQ(port.GetLastStatus(), "Disconnected");
  EXPECT_FALSE(port.Configure(9600, 8, kParityNone, kStopOne)) << "a closed port";
  EXPECT_EQ(port.GetLastStatus(), "COM port does not be opened.");
  ASSERT_TRUE(other.Open(0)) << "released on close";
  EXPECT_EQ(other.device_path(), box.port_path());
}

// A refused line changes nothing, and the port stays open.
TEST_F(SerialPortTest, ConfigureAppliesTheLineOrRefusesIt) {
  ASSERT_TRUE(port.OpenPath(box.port_path()));
  const LineSettings lines[] = {{57600, 8, kParityOdd, kStopTwo},
                                {14400, 7, kParityEven, kStopOne},
                                {256000, 5, kParityMark, kStopTwo},
                                {110, 6, kParitySpace, kStopOne},
                                {9600, 8, kParityNone, kStopOne}};
  for (const LineSettings& line : lines) {
    ASSERT_TRUE(port.Configure(line.baud, line.data_bits, line.parity, line.stop_bits))
        << port.GetLastStatus();
    // A pseudo-terminal keeps the rate and stop bits but forces 8 bits
    // without parity; the framing bits themselves are checked below.
    const auto applied = ReadLineSettings(box.port());
    ASSERT_TRUE(applied);
    EXPECT_EQ(applied->baud, line.baud);
    EXPECT_EQ(applied->stop_bits, line.stop_bits);
  }
  const LineSettings refused[] = {{9600, 8, kParityNone, kStopOneAndHalf},
                                  {9600, 9, kParityNone, kStopOne},
                                  {9600, 4, kParityNone, kStopOne},
                                  {0, 8, kParityNone, kStopOne},
                                  {9600, 8, 5, kStopOne},
                                  {9600, 8, kParityNone, 3}};
  for (const LineSettings& line : refused) {
    EXPECT_FALSE(port.Configure(line.baud, line.data_bits, line.parity, line.stop_bits));
    EXPECT_EQ(port.GetLastStatus(), "COM Port Settings Error...:22");
    EXPECT_TRUE(port.IsConnected());
    EXPECT_EQ(ReadLineSettings(box.port())->baud, 9600u);
  }
}

TEST(LineSettings, FramingFlagsMatchTheKernelsBits) {
  // c_cflag bits (octal, Linux ABI): CSIZE 060 (CS5 0 .. CS8 060), CSTOPB
  // 0100, PARENB 0400, PARODD 01000, CMSPAR 010000000000.
  constexpr unsigned kFraming = 060 | 0100 | 0400 | 01000 | 010000000000u;
  struct Case {
    LineSettings line;
    unsigned bits;
  };
  const Case cases[] = {
      {{9600, 8, kParityNone, kStopOne}, 060},
      {{9600, 7, kParityOdd, kStopTwo}, 040 | 0100 | 0400 | 01000},
      {{9600, 6, kParityEven, kStopOne}, 020 | 0400},
      {{9600, 5, kParityMark, kStopTwo}, 0100 | 0400 | 01000 | 010000000000u},
      {{9600, 8, kParitySpace, kStopOne}, 060 | 0400 | 010000000000u},
  };
  for (const Case& c : cases) {
    // Start from every framing bit set, so each must be cleared as well as set.
    const unsigned flags = FramingFlags(kFraming | 0200, c.line);
    EXPECT_EQ(flags & kFraming, c.bits) << int(c.line.parity) << int(c.line.data_bits);
    EXPECT_EQ(flags & 0200, 0200u) << "other bits untouched";
    EXPECT_EQ(SettingsFromFlags(flags, 9600), c.line);
  }
}

// Without its wake-up descriptor a port could never be closed: no descriptor, no open.
TEST_F(SerialPortTest, NoWakeUpDescriptorMeansNoOpen) {
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  std::vector<int> filler;
  rlimit tight = old;
  tight.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  const bool opened = port.OpenPath(box.port_path());
  const int error = port.GetLastError();
  for (int fd : filler) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_FALSE(opened);
  EXPECT_EQ(error, EMFILE);
  EXPECT_EQ(port.GetLastStatus(), "Cannot open COM port(Error Code=24).");
  EXPECT_TRUE(port.OpenPath(box.port_path())) << "opens once descriptors are there again";
}

}  // namespace
}  // namespace ternis
