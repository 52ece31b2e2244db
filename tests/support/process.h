#pragma once
// Runs a program of ours for an end-to-end test, with stdout and stderr
// going to files, and never lets it outlive the test.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ternis::test {

class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::string& stdout_path,
          const std::string& stderr_path);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Exit status, or -1 if it had to be killed after `limit`; 128 + signal
  // when a signal ended it.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
  // The exit status if it has ended, without waiting or killing.
  std::optional<int> Poll();
  void Signal(int signal);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

std::string ReadText(const std::string& path);
// How many of this process's threads run at `nice` (Linux keeps a nice
// value per thread).
int ThreadsOfNice(int nice);
// Waits until the file holds `text` (or `limit` passes).
bool WaitForText(const std::string& path, const std::string& text,
                 std::chrono::milliseconds limit = std::chrono::seconds(20));

// The box of an end-to-end test: `sim` (stb-sim) on a new pseudo-terminal
// published at `link`, its output in link.out and link.err; returns once
// the box is listening (a box that does not come up fails the test).
std::unique_ptr<Process> StartSimBox(const std::string& sim, const std::string& link,
                                     std::vector<std::string> args);

}  // namespace ternis::test
