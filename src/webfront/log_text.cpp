// Escaping client text for a quoted place in a log line.
#include "log_text.h"

namespace orvelle::webfront {

std::string QuotedForLog(std::string_view text, std::size_t max_bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text.substr(0, max_bytes)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '"' || c == '\\') {
      out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0x0F]};
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace orvelle::webfront
