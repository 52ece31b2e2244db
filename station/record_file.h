#pragma once
// The record file: one JSON object per line for every unit that ends,
// appended and flushed to disk (fsync) before the result is shown, never
// rewritten. Created with mode 0640 when absent. A crash, even SIGKILL,
// leaves only whole lines: the lines go out in one write to a file opened
// for appending. Units that end together share one write and one fsync.

#include <string>
#include <vector>

#include "protocol/unique_fd.h"
#include "station/unit_record.h"

namespace ternis {

class RecordFile {
 public:
  // Opens (creating if needed) for appending; false with errno's text in `error`.
  bool Open(const std::string& path, std::string& error);
  bool is_open() const { return fd_.valid(); }
  void Close() {
    fd_.reset();
    path_.clear();
  }
  const std::string& path() const { return path_; }

  // Appends the records and waits until they are on disk; false (with the
  // reason) if they could not be written whole.
  bool Append(const std::vector<UnitRecord>& records, std::string& error);

 private:
  UniqueFd fd_;
  std::string path_;
};

}  // namespace ternis
