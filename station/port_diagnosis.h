#pragma once
// Why a port cannot be used, in words an operator can act on: the cause
// (missing, permission, held by another program, not a serial device, line
// settings refused) and what to do about it. Shared by the server, its
// --list and the window.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "link/line_settings.h"

namespace ternis {

enum class PortProblem {
  kNone,
  kMissing,
  kPermission,
  kHeld,
  kNotSerial,
  kSettingsRefused,
  kOther,
};

struct PortDiagnosis {
  PortProblem problem = PortProblem::kNone;
  std::string summary;             // one line: what is wrong
  std::vector<std::string> hints;  // what to do, who holds it, ...
  // The summary and the hints as one paragraph.
  std::string Text() const;
};

struct PortFailure {
  std::string path;
  int error = 0;                            // errno of the open or the configure
  bool configuring = false;                 // it opened, but the line was refused
  std::optional<LineSettings> line;         // the settings asked for, when configuring
  std::vector<std::string> similar_devices; // present devices with names close to path
};

PortDiagnosis DiagnosePort(const PortFailure& failure);
// A port of a box that could not be opened or configured: the same, with
// the present devices most like `path` when it does not exist.
PortDiagnosis DiagnoseBoxPort(const std::string& path, int error, bool configuring,
                              const LineSettings& line);

// --- the parts, for tests and --list ---

struct ProcessInfo {
  pid_t pid = 0;
  std::string command;  // the command line, arguments separated by spaces
};

// Processes with `path` open (same device number or same file), found in
// /proc/*/fd. Processes of other users are not visible without privilege.
std::vector<ProcessInfo> ProcessesHolding(const std::string& path);

// Services running that are known to open serial adapters on their own.
std::vector<std::string> RunningProbers();

// The advice for a device whose group is `group`: join it, or log in again
// when the account is in it but this login does not have it yet.
std::string GroupAdvice(const std::string& group, bool account_in_group, bool login_has_group);

// "crw-rw----".
std::string ModeString(mode_t mode);

}  // namespace ternis
