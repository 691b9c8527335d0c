// The JSON string writer: a strict UTF-8 decoder in front of the escaper.
#include "base/json_text.h"

#include <cstdint>
#include <cstdio>

namespace orvelle::base {
namespace {

// U+FFFD, written for each byte that starts no well-formed sequence.
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at `at`, or 0 when the byte there starts none
// (overlong forms, surrogates and values above U+10FFFF are not well-formed).
std::size_t SequenceLength(std::string_view text, std::size_t at, char32_t& code) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  return code < min || code > 0x10FFFF || surrogate ? 0 : length;
}

bool NeedsEscape(char32_t code) {
  return code < 0x20 || code == '"' || code == '\\' || code == '<' || code == '>' || code == '&' ||
         code == 0x7F || code == 0x2028 || code == 0x2029;
}

void AppendEscape(std::string& out, char32_t code) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(code));
  out += buffer;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (std::size_t at = 0; at < text.size();) {
    char32_t code = 0;
    const std::size_t length = SequenceLength(text, at, code);
    if (length == 0) {
      out += kReplacementUtf8;
      ++at;
      continue;
    }
    if (NeedsEscape(code)) {
      AppendEscape(out, code);
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  return out + "\"";
}

}  // namespace orvelle::base
