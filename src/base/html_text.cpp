// HTML escaping of text for the server's own pages.
#include "base/html_text.h"

namespace orvelle::base {

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      case '(':
        out += "&#40;";
        break;
      case ')':
        out += "&#41;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace orvelle::base
