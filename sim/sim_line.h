#pragma once
// stb-sim's end of the serial line: a device it opens, or a pseudo-terminal
// it creates and publishes as a symlink. Deliberately shares no code with the
// tool, so a mistake in one cannot hide in the other.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace stbsim {

using Clock = std::chrono::steady_clock;

class SimLine {
 public:
  // A real serial device, raw 8N1 at a standard baud rate.
  static std::unique_ptr<SimLine> OpenDevice(const std::string& path, unsigned baud,
                                             std::string& error);
  // A new pseudo-terminal; `link` becomes a symlink to the side the tool opens,
  // replacing an older symlink in one step.
  static std::unique_ptr<SimLine> CreatePty(const std::string& link, std::string& error);

  ~SimLine();
  SimLine(const SimLine&) = delete;
  SimLine& operator=(const SimLine&) = delete;

  bool WriteAll(const std::uint8_t* data, std::size_t size);
  // Reads until `size` bytes arrived or the deadline passed; returns the count.
  std::size_t ReadExactly(std::uint8_t* out, std::size_t size, Clock::time_point deadline);
  // Reads and drops whatever arrives until the line has been quiet for `quiet`.
  std::size_t DrainQuiet(std::chrono::milliseconds quiet);
  // Lets go of the line now: the tool sees a hang-up on a pseudo-terminal, and
  // the symlink goes away. Reads and writes fail afterwards.
  void Close();

  const std::string& tool_side_path() const { return tool_side_path_; }

 private:
  SimLine() = default;

  int fd_ = -1;
  int tool_side_fd_ = -1;  // held open so the line never looks hung up
  std::string tool_side_path_;
  std::string link_;
};

}  // namespace stbsim
