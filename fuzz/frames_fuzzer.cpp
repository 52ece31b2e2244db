// Feeds arbitrary bytes, split at input-chosen points, through the frame
// assembler into the request engine, with a loaded image (or none) and a
// sink for a port. Besides memory errors it checks the framing invariants:
// splitting never changes the bodies, no body exceeds the buffer, and every
// message the engine produces is well formed.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "protocol/constants.h"
#include "protocol/frame_assembler.h"
#include "protocol/stb_responder.h"

namespace {

using ternis::FrameAssembler;
using ternis::StbResponder;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

class CheckingOwner : public ternis::OwnerWindow {
 public:
  void post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) override {
    Check(message >= ternis::SM_PROGRESS && message <= ternis::SM_STB_DATA_REQ);
    if (message == ternis::SM_PROGRESS) Check(wparam == 100 && lparam >= 0);
  }
  std::intptr_t send(std::uint32_t message, std::uintptr_t, std::intptr_t lparam) override {
    if (message == ternis::SM_STATUS_TEXT)
      Check(std::strlen(reinterpret_cast<const char*>(lparam)) < ternis::kStatusTextSize);
    return static_cast<std::intptr_t>(0x7FFFFFFFFFFFFFFF);  // a hostile answer to GET_DATE/TIME
  }
};

std::string MakeImageFile() {
  char path[] = "/tmp/ternis-fuzz-image-XXXXXX";
  const int fd = ::mkstemp(path);
  std::vector<std::uint8_t> bytes(3000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  Check(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  ::close(fd);
  return path;
}

struct Rig {
  Rig() {
    const int sink = ::open("/dev/null", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    const std::string path = MakeImageFile();
    for (StbResponder* engine : {&with_image, &without_image}) {
      engine->SetPort(sink);
      engine->SetOwnerWindow(&owner);
    }
    Check(with_image.LoadImageFile(path));
    ::unlink(path.c_str());  // the engine keeps it open
  }
  CheckingOwner owner;
  StbResponder with_image;
  StbResponder without_image;
};

std::vector<std::vector<std::uint8_t>> Bodies(std::span<const std::uint8_t> stream,
                                              std::size_t step, StbResponder* engine) {
  std::vector<std::vector<std::uint8_t>> bodies;
  FrameAssembler assembler;
  for (std::size_t at = 0; at < stream.size(); at += step) {
    assembler.Feed(stream.subspan(at, std::min(step, stream.size() - at)),
                   [&](std::span<const std::uint8_t> body) {
                     Check(!body.empty() && body.size() <= ternis::kMaxBodyLength);
                     bodies.emplace_back(body.begin(), body.end());
                     if (engine) engine->HandleFrame(body);
                   });
  }
  return bodies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Rig rig;
  if (size < 1) return 0;
  const std::size_t step = (data[0] & 0x3F) + 1;
  StbResponder* engine = (data[0] & 0x40) ? &rig.without_image : &rig.with_image;
  const std::span<const std::uint8_t> stream(data + 1, size - 1);

  const auto split = Bodies(stream, step, engine);
  const auto whole = Bodies(stream, stream.size() + 1, nullptr);
  Check(split == whole);
  Check(engine->finishing() <= 1);
  return 0;
}
