// Header line lookup, folding of continuation lines, and in-place replacement.
#include "http/header_list.h"

#include <algorithm>

#include "base/ascii_text.h"

namespace orvelle::http {
namespace {

bool IsBlankOrTab(char c) {
  return c == ' ' || c == '\t';
}

std::string_view StripLeadingBlanks(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && IsBlankOrTab(s[i])) ++i;
  return s.substr(i);
}

}  // namespace

std::string_view THeaderList::NameOf(std::string_view line) {
  const auto colon = line.find(':');
  return colon == std::string_view::npos ? std::string_view{} : line.substr(0, colon);
}

long THeaderList::IndexOf(std::string_view name) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (base::EqualsIgnoreCase(NameOf(lines_[i]), name)) return static_cast<long>(i);
  }
  return -1;
}

std::string THeaderList::ValueAt(std::size_t index) const {
  const std::string_view line = lines_[index];
  const auto colon = line.find(':');
  std::string value(
      StripLeadingBlanks(colon == std::string_view::npos ? line : line.substr(colon + 1)));
  for (std::size_t i = index + 1; i < lines_.size(); ++i) {
    const std::string_view next = lines_[i];
    const std::string_view folded = StripLeadingBlanks(next);
    // A line of blanks only is the end of a request's header block, not a continuation.
    if (next.empty() || !IsBlankOrTab(next.front()) || folded.empty()) break;
    if (!value.empty() && !IsBlankOrTab(value.back())) value += ' ';
    value += folded;
  }
  return value;
}

std::string THeaderList::Value(std::string_view name) const {
  const long i = IndexOf(name);
  return i < 0 ? std::string{} : ValueAt(static_cast<std::size_t>(i));
}

void THeaderList::SetValue(std::string_view name, std::string_view value) {
  const long i = IndexOf(name);
  if (value.empty()) {
    if (i >= 0) lines_.erase(lines_.begin() + i);
    return;
  }
  std::string line = std::string(name) + ": " + std::string(value);
  if (i >= 0) {
    lines_[static_cast<std::size_t>(i)] = std::move(line);
  } else {
    lines_.push_back(std::move(line));
  }
}

std::vector<std::string> THeaderList::Extract(std::string_view name) const {
  std::vector<std::string> values;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (base::EqualsIgnoreCase(NameOf(lines_[i]), name)) values.push_back(ValueAt(i));
  }
  return values;
}

}  // namespace orvelle::http
