#include "station/port_diagnosis.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "station/printable_text.h"
#include "station/serial_inventory.h"

namespace ternis {

namespace {

constexpr const char* kUdevRule = "60-ternis-serial.rules";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<pid_t> Pids() {
  std::vector<pid_t> pids;
  DIR* proc = ::opendir("/proc");
  if (!proc) return pids;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end == '\0' && pid > 0) pids.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(proc);
  return pids;
}

// A process in the middle of exec (or a kernel thread) has an empty command
// line for a moment; its short name still says who it is.
std::string CommandLine(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  std::string text = ReadFile(dir + "/cmdline");
  while (!text.empty() && text.back() == '\0') text.pop_back();
  std::replace(text.begin(), text.end(), '\0', ' ');
  if (text.empty()) {
    text = ReadFile(dir + "/comm");
    while (!text.empty() && text.back() == '\n') text.pop_back();
  }
  return PrintableText(text);  // anyone may put a newline or an escape in theirs
}

bool SameFile(const struct stat& a, const struct stat& b) {
  if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string KindOf(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device";
  return "a character device that is not a terminal";
}

std::string GroupName(gid_t gid) {
  if (const group* g = ::getgrgid(gid)) return g->gr_name;
  return std::to_string(gid);
}

std::string UserName(uid_t uid) {
  if (const passwd* p = ::getpwuid(uid)) return p->pw_name;
  return std::to_string(uid);
}

bool LoginHasGroup(gid_t gid) {
  if (::getegid() == gid) return true;
  const int count = ::getgroups(0, nullptr);
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(count, 0)));
  if (count > 0 && ::getgroups(count, groups.data()) < 0) return false;
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

bool AccountInGroup(gid_t gid) {
  const passwd* me = ::getpwuid(::geteuid());
  if (!me) return false;
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (::getgrouplist(me->pw_name, me->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (::getgrouplist(me->pw_name, me->pw_gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<std::size_t>(count));
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

void AddProberHints(PortDiagnosis& d) {
  for (const std::string& name : RunningProbers()) {
    d.hints.push_back(name + " is running and may open serial adapters by itself; the udev rule " +
                      std::string(kUdevRule) + " keeps them out of its reach (see README)");
  }
}

void DiagnoseMissing(const PortFailure& f, PortDiagnosis& d) {
  d.problem = PortProblem::kMissing;
  d.summary = PrintableText(f.path) + " does not exist";
  if (!f.similar_devices.empty()) {
    std::string names;
    for (const std::string& name : f.similar_devices)
      names += (names.empty() ? "" : ", ") + PrintableText(name);
    d.hints.push_back("present with a similar name: " + names);
  }
  d.hints.push_back("ternis-serve --list shows every serial device");
  AddProberHints(d);  // brltty takes some adapters away as they are plugged in
}

void DiagnosePermission(const PortFailure& f, const struct stat& st, PortDiagnosis& d) {
  d.problem = PortProblem::kPermission;
  const std::string group = GroupName(st.st_gid);
  d.summary = "permission denied: " + PrintableText(f.path) + " is " + ModeString(st.st_mode) +
              " " + UserName(st.st_uid) + ":" + group;
  if (st.st_mode & S_IRWXG)
    d.hints.push_back(GroupAdvice(group, AccountInGroup(st.st_gid), LoginHasGroup(st.st_gid)));
  else
    d.hints.push_back("only its owner may use it; the udev rule (see README) gives serial adapters "
                      "to group dialout");
}

void DiagnoseHeld(const PortFailure& f, PortDiagnosis& d) {
  d.problem = PortProblem::kHeld;
  d.summary = PrintableText(f.path) + " is in use by another program";
  const pid_t self = ::getpid();
  std::vector<ProcessInfo> holders = ProcessesHolding(f.path);
  holders.erase(std::remove_if(holders.begin(), holders.end(),
                               [&](const ProcessInfo& p) { return p.pid == self; }),
                holders.end());
  for (const ProcessInfo& p : holders)
    d.hints.push_back("held by process " + std::to_string(p.pid) + ": " + p.command);
  if (holders.empty()) {
    d.hints.push_back(::geteuid() == 0
                          ? "no process shows it open; it may be locked by this program"
                          : "the holder cannot be seen (another user's process?); as root: "
                            "fuser -v " + PrintableText(f.path));
  }
  AddProberHints(d);
}

void DiagnoseSettings(const PortFailure& f, PortDiagnosis& d) {
  d.problem = PortProblem::kSettingsRefused;
  d.summary = "the driver of " + PrintableText(f.path) + " refused the line settings";
  if (!f.line) return;
  const LineSettings& line = *f.line;
  if (line.stop_bits == kStopOneAndHalf) d.hints.push_back("1.5 stop bits cannot be set on Linux");
  if (line.data_bits < 5 || line.data_bits > 8)
    d.hints.push_back(std::to_string(line.data_bits) + " data bits: only 5 to 8 exist");
  if (line.baud == 0) d.hints.push_back("baud rate 0 means hang up");
  if (line.parity == kParityMark || line.parity == kParitySpace)
    d.hints.push_back("mark and space parity need a driver with CMSPAR support");
  if (d.hints.empty())
    d.hints.push_back("the adapter may not take " + std::to_string(line.baud) + " baud");
}

}  // namespace

std::string PortDiagnosis::Text() const {
  std::string text = summary;
  for (const std::string& hint : hints) text += "; " + hint;
  return text;
}

std::string ModeString(mode_t mode) {
  std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : S_ISBLK(mode) ? "b" : "-";
  constexpr char kRwx[] = "rwx";
  for (int shift = 8; shift >= 0; --shift) text += (mode >> shift) & 1 ? kRwx[(8 - shift) % 3] : '-';
  return text;
}

std::string GroupAdvice(const std::string& group, bool account_in_group, bool login_has_group) {
  if (login_has_group) return "this login is in group " + group + ", yet it was refused";
  if (account_in_group) {
    return "your account is in group " + group +
           ", but this login does not have it yet: log out and in again";
  }
  return "you are not in group " + group + ": sudo usermod -aG " + group +
         " $USER, then log in again";
}

std::vector<ProcessInfo> ProcessesHolding(const std::string& path) {
  std::vector<ProcessInfo> holders;
  struct stat target {};
  if (::stat(path.c_str(), &target) != 0) return holders;
  for (pid_t pid : Pids()) {
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = ::opendir(fd_dir.c_str());
    if (!fds) continue;  // gone, or not ours to look at
    bool holds = false;
    while (const dirent* entry = ::readdir(fds)) {
      if (entry->d_name[0] == '.') continue;
      struct stat st {};
      if (::stat((fd_dir + "/" + entry->d_name).c_str(), &st) == 0 && SameFile(st, target)) {
        holds = true;
        break;
      }
    }
    ::closedir(fds);
    if (holds) holders.push_back({pid, CommandLine(pid)});
  }
  return holders;
}

std::vector<std::string> RunningProbers() {
  static const char* const kProbers[] = {"ModemManager", "brltty"};
  std::vector<std::string> running;
  for (pid_t pid : Pids()) {
    std::string comm = ReadFile("/proc/" + std::to_string(pid) + "/comm");
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    for (const char* name : kProbers) {
      if (comm == name && std::find(running.begin(), running.end(), comm) == running.end())
        running.push_back(comm);
    }
  }
  return running;
}

PortDiagnosis DiagnosePort(const PortFailure& f) {
  PortDiagnosis d;
  struct stat st {};
  const bool exists = ::stat(f.path.c_str(), &st) == 0;
  if (!exists && (f.error == ENOENT || f.error == ENODEV || f.error == ENXIO || f.error == 0)) {
    DiagnoseMissing(f, d);
  } else if (!exists) {
    d.problem = PortProblem::kOther;
    d.summary = PrintableText(f.path) + ": " + std::strerror(errno);
  } else if (!S_ISCHR(st.st_mode) || f.error == ENOTTY) {
    d.problem = PortProblem::kNotSerial;
    d.summary = PrintableText(f.path) + " is not a serial device: it is " + KindOf(st.st_mode);
  } else if (f.configuring) {
    DiagnoseSettings(f, d);
  } else if (f.error == EACCES || f.error == EPERM) {
    DiagnosePermission(f, st, d);
  } else if (f.error == EBUSY || f.error == EAGAIN) {
    DiagnoseHeld(f, d);
  } else {
    d.problem = PortProblem::kOther;
    d.summary = PrintableText(f.path) + ": " + std::strerror(f.error);
    AddProberHints(d);
  }
  return d;
}

PortDiagnosis DiagnoseBoxPort(const std::string& path, int error, bool configuring,
                              const LineSettings& line) {
  PortFailure failure;
  failure.path = path;
  failure.error = error;
  failure.configuring = configuring;
  failure.line = line;
  if (error == ENOENT) failure.similar_devices = ClosestNodes(path, ListSerialDevices(), 3);
  return DiagnosePort(failure);
}

}  // namespace ternis
