#include "protocol/frame_assembler.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace ternis {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> Assemble(FrameAssembler& assembler, const Bytes& stream) {
  std::vector<Bytes> bodies;
  assembler.Feed(stream, [&](std::span<const std::uint8_t> body) {
    bodies.emplace_back(body.begin(), body.end());
  });
  return bodies;
}

Bytes Repeated(Bytes head, std::size_t count, std::uint8_t byte, const Bytes& tail) {
  head.insert(head.end(), count, byte);
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST(FrameAssembler, CutsTheStreamIntoBodies) {
  const struct {
    const char* name;
    Bytes stream;
    std::vector<Bytes> bodies;
  } cases[] = {
      {"boot-up", {0x02, 0x01, 0x03}, {{0x01}}},
      {"time request from ETX ETX", {0x02, 0x03, 0x03}, {{0x03}}},
      {"data request",
       {0x02, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x00, 0x03},
       {{0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x00}}},
      {"length high byte is ETX",
       {0x02, 0x02, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x03},
       {{0x02, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00}}},
      {"every field is STX or ETX",
       {0x02, 0x02, 0x03, 0x02, 0x03, 0x03, 0x02, 0x03, 0x03},
       {{0x02, 0x03, 0x02, 0x03, 0x03, 0x02, 0x03}}},
      {"STX inside a frame is data", {0x02, 0x05, 0x02, 0x03}, {{0x05, 0x02}}},
      {"noise before and between",
       {0xFF, 0x03, 0x00, 0x02, 0x01, 0x03, 0x41, 0x03, 0x02, 0x03, 0x03},
       {{0x01}, {0x03}}},
      {"two frames in one read", {0x02, 0x01, 0x03, 0x02, 0x03, 0x03}, {{0x01}, {0x03}}},
      {"unfinished frame", {0x02, 0x02, 0x00, 0x03}, {}},
      {"8-byte data body ends at the ETX after seven",
       {0x02, 0x02, 1, 2, 3, 4, 5, 6, 7, 0x03},
       {{0x02, 1, 2, 3, 4, 5, 6, 7}}},
      {"107-byte body, the largest", Repeated({0x02}, 107, 0x41, {0x03}), {Bytes(107, 0x41)}},
      // Dropped; the next frame still arrives.
      {"over-long body", Repeated({0x02}, 5000, 0x41, {0x03, 0x02, 0x01, 0x03}), {{0x01}}},
      // The byte that overflows ends the frame; a later STX opens a fresh one.
      {"over-long data body", Repeated({0x02, 0x02}, 107, 0x02, {0x02, 0x03, 0x03}), {{0x03}}},
  };
  for (const auto& c : cases) {
    FrameAssembler assembler;
    EXPECT_EQ(Assemble(assembler, c.stream), c.bodies) << c.name;
    EXPECT_EQ(assembler.dropped_frames(), std::string_view(c.name).starts_with("over-long"))
        << c.name;
  }
}

}  // namespace
}  // namespace ternis
