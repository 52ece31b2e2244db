#pragma once
// The SHA-256 of an image's bytes, as lowercase hex: what records and the
// window show to say which file a box received.

#include <cstdint>
#include <span>
#include <string>

namespace ternis {

// 64 hex digits; empty only if the digest could not be computed.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace ternis
