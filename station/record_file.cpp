#include "station/record_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

namespace ternis {

bool RecordFile::Open(const std::string& path, std::string& error) {
  fd_.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640));
  if (!fd_.valid()) {
    error = std::strerror(errno);
    return false;
  }
  path_ = path;
  return true;
}

bool RecordFile::Append(const std::vector<UnitRecord>& records, std::string& error) {
  std::string line;
  // A file name that is not UTF-8 cannot be JSON: its bad bytes become U+FFFD.
  for (const UnitRecord& record : records)
    line += ToJson(record).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  if (line.empty()) return true;
  ssize_t n;
  do {
    n = ::write(fd_.get(), line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(line.size())) {
    error = n < 0 ? std::strerror(errno) : "short write (disk full?)";
    return false;
  }
  if (::fsync(fd_.get()) != 0) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace ternis
