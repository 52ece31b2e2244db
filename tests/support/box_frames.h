#pragma once
// Bodies and frames as the box sends them, and broken-down local times, for
// tests and benchmarks.

#include <cstdint>
#include <ctime>
#include <vector>

namespace ternis::test {

using Bytes = std::vector<std::uint8_t>;

// The 7-byte data-request body: type, length (LE 16), offset (LE 32).
inline Bytes DataRequestBody(std::uint16_t length, std::uint32_t offset) {
  return {0x02,
          static_cast<std::uint8_t>(length),
          static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(offset),
          static_cast<std::uint8_t>(offset >> 8),
          static_cast<std::uint8_t>(offset >> 16),
          static_cast<std::uint8_t>(offset >> 24)};
}

// STX, body, ETX.
// (Byte by byte: GCC 12 warns falsely about a range insert here.)
inline Bytes Framed(const Bytes& body) {
  Bytes frame;
  frame.reserve(body.size() + 2);
  frame.push_back(0x02);
  for (std::uint8_t b : body) frame.push_back(b);
  frame.push_back(0x03);
  return frame;
}

inline Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t length) {
  return Bytes(bytes.begin() + static_cast<long>(offset),
               bytes.begin() + static_cast<long>(offset + length));
}

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline std::tm LocalTime(int year, int month, int day, int hour = 0, int minute = 0,
                         int second = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

}  // namespace ternis::test
