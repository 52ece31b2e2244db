#pragma once
// A real pseudo-terminal pair for tests: the slave side is the "port" the
// tool writes to, the master side is the box. A thread drains the box side
// into a buffer so large replies never stall the writer.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ternis::test {

class PtyBox {
 public:
  PtyBox();
  ~PtyBox();
  PtyBox(const PtyBox&) = delete;
  PtyBox& operator=(const PtyBox&) = delete;

  int port() const { return port_fd_; }  // slave: raw, non-blocking
  const std::string& port_path() const { return port_path_; }
  int box() const { return box_fd_; }  // master

  // Waits until `count` bytes have arrived at the box (or `limit` passes),
  // then removes and returns up to `count` of them.
  std::vector<std::uint8_t> Take(std::size_t count,
                                 std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Waits `quiet` and returns whatever arrived at the box meanwhile and before.
  std::vector<std::uint8_t> TakeAll(
      std::chrono::milliseconds quiet = std::chrono::milliseconds(100));

  // Writes bytes from the box towards the port.
  void Send(const std::vector<std::uint8_t>& bytes);

  // Stops reading at the box side, so the port's output backs up.
  void StopDraining();
  // Closes the box side: the port sees a hang-up.
  void Hangup();

 private:
  void Drain();

  int port_fd_ = -1;
  int box_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::string port_path_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::uint8_t> received_;
  std::thread drainer_;
};

}  // namespace ternis::test
