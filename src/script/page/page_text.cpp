// Line splitting and joining for pages and configuration files.
#include "script/page/page_text.h"

namespace orvelle::script {
namespace {

constexpr std::string_view kLineBreak = "\r\n";

}  // namespace

std::vector<std::string> SplitLines(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    bool crlf = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
    start = end + (crlf ? 2 : 1);
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::size_t size = 0;
  for (const auto& line : lines) size += line.size() + kLineBreak.size();
  std::string text;
  text.reserve(size);
  for (const auto& line : lines) {
    text += line;
    text += kLineBreak;
  }
  return text;
}

}  // namespace orvelle::script
