// Escaping of control bytes for logged text.
#include "base/control_bytes.h"

#include <algorithm>

namespace orvelle::base {
namespace {

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

}  // namespace

bool HasControlBytes(std::string_view text) {
  return std::any_of(text.begin(), text.end(), IsControl);
}

std::string EscapeControlBytes(std::string_view text) {
  if (!HasControlBytes(text)) return std::string(text);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    if (!IsControl(c)) {
      out += c;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  return out;
}

std::string CutForLog(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  return std::string(text.substr(0, limit)) + "...(" + std::to_string(text.size() - limit) +
         " more bytes)";
}

}  // namespace orvelle::base
