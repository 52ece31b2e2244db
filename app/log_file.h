#pragma once
// The window's log on disk: status lines appended to
// $XDG_STATE_HOME/ternis/download.log (~/.local/state when unset), rotated
// at 1 MiB with three files kept (download.log, .1, .2). No Qt.
//
// Each line goes out in one write to a file opened for appending, so two
// instances appending at once keep their lines whole. Only the instance that
// holds the lock on the file now at the path rotates it; the others see the
// new file and move to it, so no line is lost or written twice.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/unique_fd.h"

namespace ternis {

class LogFile {
 public:
  static constexpr std::uint64_t kRotateAt = 1u << 20;
  static constexpr int kFilesKept = 3;

  explicit LogFile(std::filesystem::path path, std::uint64_t rotate_at = kRotateAt,
                   int files_kept = kFilesKept);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // $XDG_STATE_HOME/ternis/download.log, or ~/.local/state/ternis/download.log.
  static std::filesystem::path DefaultPath();

  // Appends one line (a newline is added; line breaks inside become spaces).
  // False, with error() set, when it cannot be written; the next call tries
  // again, reopening the file.
  bool Append(std::string_view line);
  // Several lines in one write (a burst of status lines costs one system
  // call); the file is rotated before the block, never inside it.
  bool Append(const std::vector<std::string>& lines);
  const std::filesystem::path& path() const { return path_; }
  const std::string& error() const { return error_; }

 private:
  bool Open();
  bool Fail(const std::string& what, int error_number);
  bool MakeRoomFor(std::size_t bytes);
  bool FileIsStillAtPath() const;
  void ShiftOlderFiles();
  std::filesystem::path Numbered(int n) const;
  bool WriteWhole(const std::string& bytes);

  std::filesystem::path path_;
  std::uint64_t rotate_at_;
  int files_kept_;
  UniqueFd fd_;
  std::uint64_t size_ = 0;
  bool line_cut_ = false;  // a failed write left part of a line
  std::string error_;
};

}  // namespace ternis
