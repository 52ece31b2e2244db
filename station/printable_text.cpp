#include "station/printable_text.h"

#include <cstdint>
#include <cstdio>

namespace ternis {

namespace {

// The length of the valid UTF-8 sequence at the start of `text`, 0 if none.
std::size_t SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  std::size_t length;
  std::uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

void AppendEscape(std::string& out, const char* format, unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, format, value);
  out += text;
}

}  // namespace

std::string PrintableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto lead = static_cast<std::uint8_t>(text[0]);
    const std::size_t length = SequenceLength(text);
    if (length == 0) {
      AppendEscape(out, "\\x%02x", lead);  // not UTF-8
      text.remove_prefix(1);
      continue;
    }
    if (lead == '\n') {
      out += "\\n";
    } else if (lead == '\r') {
      out += "\\r";
    } else if (lead == '\t') {
      out += "\\t";
    } else if (lead < 0x20 || lead == 0x7F) {
      AppendEscape(out, "\\x%02x", lead);
    } else if (lead == 0xC2 && static_cast<std::uint8_t>(text[1]) < 0xA0) {
      AppendEscape(out, "\\u%04x", static_cast<std::uint8_t>(text[1]));  // C1 control
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out;
}

}  // namespace ternis
