#include "protocol/frame_assembler.h"

#include <gtest/gtest.h>

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

std::vector<Bytes> Assemble(const Bytes& stream) {
  FrameAssembler assembler;
  return Assemble(assembler, stream);
}

struct FramingCase {
  const char* name;
  Bytes stream;
  std::vector<Bytes> bodies;
};

class FramingRules : public testing::TestWithParam<FramingCase> {};

TEST_P(FramingRules, CutsStreamIntoBodies) {
  EXPECT_EQ(Assemble(GetParam().stream), GetParam().bodies);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FramingRules,
    testing::Values(
        FramingCase{"BootUp", {0x02, 0x01, 0x03}, {{0x01}}},
        FramingCase{"TimeRequestFromEtxEtx", {0x02, 0x03, 0x03}, {{0x03}}},
        FramingCase{"DataRequest",
                    {0x02, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x00, 0x03},
                    {{0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x00}}},
        FramingCase{"LengthHighByteIsEtx",
                    {0x02, 0x02, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x03},
                    {{0x02, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00}}},
        FramingCase{"EveryFieldIsStxOrEtx",
                    {0x02, 0x02, 0x03, 0x02, 0x03, 0x03, 0x02, 0x03, 0x03},
                    {{0x02, 0x03, 0x02, 0x03, 0x03, 0x02, 0x03}}},
        FramingCase{"StxInsideFrameIsData", {0x02, 0x05, 0x02, 0x03}, {{0x05, 0x02}}},
        FramingCase{"NoiseBeforeAndBetween",
                    {0xFF, 0x03, 0x00, 0x02, 0x01, 0x03, 0x41, 0x03, 0x02, 0x03, 0x03},
                    {{0x01}, {0x03}}},
        FramingCase{"TwoFramesInOneRead", {0x02, 0x01, 0x03, 0x02, 0x03, 0x03}, {{0x01}, {0x03}}},
        FramingCase{"UnfinishedFrameYieldsNothing", {0x02, 0x02, 0x00, 0x03}, {}},
        FramingCase{"EightByteDataBodyEndsAtEtxAfterSeven",
                    {0x02, 0x02, 1, 2, 3, 4, 5, 6, 7, 0x03},
                    {{0x02, 1, 2, 3, 4, 5, 6, 7}}}),
    [](const auto& info) { return std::string(info.param.name); });

// A stream of every kind of frame, with the awkward bytes in the fields.
Bytes MixedStream() {
  return {0x55, 0x02, 0x01, 0x03,                                      // boot-up after noise
          0x02, 0x02, 0x03, 0x02, 0x03, 0x00, 0x02, 0x03, 0x03, 0x03,  // data request
          0x02, 0x03, 0x03,                                            // time request
          0x02, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x03};       // data request
}

TEST(FrameAssembler, EverySplitPointGivesTheSameBodies) {
  const Bytes stream = MixedStream();
  const auto whole = Assemble(stream);
  ASSERT_EQ(whole.size(), 4u);
  for (std::size_t a = 0; a <= stream.size(); ++a) {
    for (std::size_t b = a; b <= stream.size(); ++b) {
      FrameAssembler assembler;
      auto bodies = Assemble(assembler, Bytes(stream.begin(), stream.begin() + a));
      auto more = Assemble(assembler, Bytes(stream.begin() + a, stream.begin() + b));
      auto rest = Assemble(assembler, Bytes(stream.begin() + b, stream.end()));
      bodies.insert(bodies.end(), more.begin(), more.end());
      bodies.insert(bodies.end(), rest.begin(), rest.end());
      ASSERT_EQ(bodies, whole) << "split at " << a << " and " << b;
    }
  }
}

TEST(FrameAssembler, OneByteAtATimeGivesTheSameBodies) {
  const Bytes stream = MixedStream();
  FrameAssembler assembler;
  std::vector<Bytes> bodies;
  for (std::uint8_t b : stream) {
    for (auto& body : Assemble(assembler, {b})) bodies.push_back(body);
  }
  EXPECT_EQ(bodies, Assemble(stream));
}

TEST(FrameAssembler, BodyOf107BytesIsDelivered) {
  Bytes stream{0x02};
  stream.insert(stream.end(), 107, 0x41);
  stream.push_back(0x03);
  const auto bodies = Assemble(stream);
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(bodies[0].size(), 107u);
}

TEST(FrameAssembler, OverLongBodyIsDroppedAndNextFrameStillArrives) {
  Bytes stream{0x02};
  stream.insert(stream.end(), 5000, 0x41);  // far past the buffer
  stream.insert(stream.end(), {0x03, 0x02, 0x01, 0x03});
  FrameAssembler assembler;
  EXPECT_EQ(Assemble(assembler, stream), (std::vector<Bytes>{{0x01}}));
  EXPECT_EQ(assembler.dropped_frames(), 1u);
}

TEST(FrameAssembler, OverLongDataBodyDoesNotSwallowTheFollowingStx) {
  // The byte that overflows ends the frame; a later STX opens a fresh one.
  Bytes stream{0x02, 0x02};
  stream.insert(stream.end(), 106, 0x02);  // 107 body bytes, no ETX
  stream.push_back(0x02);                  // 108th: overflow, dropped
  stream.insert(stream.end(), {0x02, 0x03, 0x03});
  EXPECT_EQ(Assemble(stream), (std::vector<Bytes>{{0x03}}));
}

TEST(FrameAssembler, ResetForgetsAHalfReceivedFrame) {
  FrameAssembler assembler;
  Assemble(assembler, {0x02, 0x02, 0x00});
  ASSERT_TRUE(assembler.in_frame());
  assembler.Reset();
  EXPECT_EQ(Assemble(assembler, {0x00, 0x03, 0x02, 0x01, 0x03}), (std::vector<Bytes>{{0x01}}));
}

}  // namespace
}  // namespace ternis
