#include "protocol/line_writer.h"

namespace ternis {

const char* WriteStatusName(WriteStatus status) {
  switch (status) {
    case WriteStatus::kOk:
      return "ok";
    case WriteStatus::kFailed:
      return "write failed";
    case WriteStatus::kTimedOut:
      return "write timed out";
    case WriteStatus::kCancelled:
      return "write cancelled";
  }
  return "";
}

}  // namespace ternis
