// Feeds arbitrary bytes, split at input-chosen points, through the frame
// assembler into the request engine, with a loaded image (or none) and a
// counting writer for a port. Besides memory errors it checks the framing
// invariants: splitting never changes the bodies, no body exceeds the
// buffer, every data request gets exactly the bytes it asked for, and every
// event the engine reports is consistent.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
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

class CountingWriter : public ternis::LineWriter {
 public:
  ternis::WriteResult Write(std::span<const std::uint8_t> bytes) override {
    written += bytes.size();
    return {bytes.size(), ternis::WriteStatus::kOk, 0};
  }
  std::uint64_t written = 0;
};

class CheckingSink : public ternis::EngineSink {
 public:
  explicit CheckingSink(CountingWriter& writer) : writer_(writer) {}
  // Hostile: bits no date or BCD time has.
  ternis::DateTimeCode TimeForReply() override { return {0xFFFF, 0xFFFFFFFF}; }
  void OnBootUp(const ternis::BootUpEvent& e) override {
    Check(e.ack == ternis::WriteStatus::kOk);
    Check(Take() == 4);
  }
  void OnDataServed(const ternis::DataServedEvent& e) override {
    Check(e.write == ternis::WriteStatus::kOk && e.written == e.length && Take() == e.length);
    Check(e.image != nullptr && e.image_size == e.image->contents().size());
  }
  void OnNoImage(const ternis::NoImageEvent&) override { Check(Take() == 0); }
  void OnTimeServed(const ternis::TimeServedEvent&) override { Check(Take() == 8); }

 private:
  std::uint64_t Take() {
    const std::uint64_t n = writer_.written - seen_;
    seen_ = writer_.written;
    return n;
  }
  CountingWriter& writer_;
  std::uint64_t seen_ = 0;
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
    const std::string path = MakeImageFile();
    for (StbResponder* engine : {&with_image, &without_image}) {
      engine->SetWriter(&writer);
      engine->SetSink(&sink);
    }
    Check(with_image.LoadImageFile(path));
    ::unlink(path.c_str());  // the engine keeps it open
  }
  CountingWriter writer;
  CheckingSink sink{writer};
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
  return 0;
}
