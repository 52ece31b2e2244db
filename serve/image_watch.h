#pragma once
// Notices when the served file changes on disk (written, replaced, moved,
// removed), so the server can say that it still serves the bytes it loaded.

#include <string>

#include "protocol/unique_fd.h"

namespace ternis::serve {

class ImageWatch {
 public:
  // Watches `path`; false if it cannot (the server then cannot tell).
  bool Watch(const std::string& path);
  // Readable when something happened: poll it.
  int fd() const { return fd_.get(); }
  // Reads the pending notices; true when the file changed.
  bool Changed();

 private:
  UniqueFd fd_;
};

}  // namespace ternis::serve
