#pragma once
// stb-sim's command line: what a run is asked to do, read from its arguments.

#include <cstdint>
#include <optional>
#include <string>

namespace stbsim {

struct Options {
  std::string pty_link;
  std::string device;
  std::string reference_path;
  std::optional<std::uint64_t> size;
  unsigned chunk = 1024;
  bool random_order = false;
  unsigned seed = 1;
  unsigned past_end = 0;
  unsigned baud = 115200;
  double reply_timeout = 5;
  double boot_timeout = 60;
  unsigned boot_interval_ms = 500;
  unsigned line_rate = 0;
  double boot_delay = 0;
  double write_time = 0;
  bool machine = false;
  unsigned units = 1;  // 0: until a stop signal
  double unit_gap = 0.2;
  bool time_first = false;
  std::optional<unsigned> stop_after;
  std::optional<unsigned> close_after;
  std::optional<double> reopen_after;
  std::optional<double> hold;  // unset: none, or until a stop signal once silent
  std::string received_log;
  bool keep_going = false;
};

// Prints the problem and the usage text to stderr and exits with status 2.
[[noreturn]] void Usage(const char* problem);

// Reads the arguments; exits 0 after --help, 2 on a bad argument.
Options Parse(int argc, char** argv);

}  // namespace stbsim
