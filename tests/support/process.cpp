#include "tests/support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/wait_until.h"

extern char** environ;

namespace ternis::test {

Process::Process(const std::vector<std::string>& argv, const std::string& stdout_path,
                 const std::string& stderr_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int Process::Wait(std::chrono::milliseconds limit) {
  std::optional<int> status;
  if (WaitUntil([&] { return pid_ <= 0 || (status = Poll()); }, limit)) return status.value_or(-1);
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

std::optional<int> Process::Poll() {
  if (pid_ <= 0) return std::nullopt;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Process::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int ThreadsOfNice(int nice) {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    errno = 0;
    const int value = ::getpriority(PRIO_PROCESS, std::stoi(task.path().filename().string()));
    if (errno == 0 && value == nice) ++count;
  }
  return count;
}

bool WaitForText(const std::string& path, const std::string& text,
                 std::chrono::milliseconds limit) {
  return WaitUntil([&] { return ReadText(path).find(text) != std::string::npos; }, limit);
}

std::unique_ptr<Process> StartSimBox(const std::string& sim, const std::string& link,
                                     std::vector<std::string> args) {
  args.insert(args.begin(), {sim, "--pty", link});
  auto box = std::make_unique<Process>(args, link + ".out", link + ".err");
  EXPECT_TRUE(WaitForText(link + ".err", "box on")) << ReadText(link + ".err");
  return box;
}

}  // namespace ternis::test
