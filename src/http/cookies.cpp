// Parsing of "Cookie" header values and the text of "Set-Cookie" values.
#include "http/cookies.h"

#include "base/ascii_text.h"

namespace orvelle::http {
namespace {

// Reads a quoted value starting just past the opening quote; "" inside stands for one quote.
std::string ReadQuoted(std::string_view text, std::size_t& pos) {
  std::string value;
  while (pos < text.size()) {
    const char c = text[pos++];
    if (c != '"') {
      value += c;
    } else if (pos < text.size() && text[pos] == '"') {
      value += '"';
      ++pos;
    } else {
      break;
    }
  }
  return value;
}

std::string ReadValue(std::string_view text, std::size_t& pos) {
  if (pos < text.size() && text[pos] == '"') {
    ++pos;
    return ReadQuoted(text, pos);
  }
  const auto semicolon = text.find(';', pos);
  const auto end = semicolon == std::string_view::npos ? text.size() : semicolon;
  std::string value(text.substr(pos, end - pos));
  pos = end;
  return value;
}

}  // namespace

std::string TCookie::CookieText() const {
  std::string text = Name + "=" + Value;
  if (!Domain.empty()) text += "; Domain=" + Domain;
  text += "; Version=\"1\"";
  if (!Path.empty()) text += "; Path=" + Path;
  if (MaxAge >= 0) text += "; Max-Age=" + std::to_string(MaxAge);
  if (!Comment.empty()) text += "; Comment=" + Comment;
  if (Secure) text += "; Secure";
  if (HttpOnly) text += "; HttpOnly";
  if (!SameSite.empty()) text += "; SameSite=" + SameSite;
  return text;
}

long TCookieCollection::FindCookie(long start, std::string_view name) const {
  if (start < 0) start = 0;
  for (auto i = static_cast<std::size_t>(start); i < items_.size(); ++i) {
    if (base::EqualsIgnoreCase(items_[i].Name, name)) return static_cast<long>(i);
  }
  return -1;
}

void TCookieCollection::ParseCookieHeader(std::string_view text) {
  TCookie* last = nullptr;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto equals = text.find('=', pos);
    if (equals == std::string_view::npos) return;
    const std::string_view name = base::TrimBlanksAndControls(text.substr(pos, equals - pos));
    pos = equals + 1;
    std::string value = ReadValue(text, pos);
    if (!name.empty() && name.front() == '$' && last != nullptr) {
      if (base::EqualsIgnoreCase(name, "$PATH")) last->Path = std::move(value);
      if (base::EqualsIgnoreCase(name, "$DOMAIN")) last->Domain = std::move(value);
    } else {
      last = &Add();
      last->Name = std::string(name);
      last->Value = std::move(value);
    }
    const auto semicolon = text.find(';', pos);
    if (semicolon == std::string_view::npos) return;
    pos = semicolon + 1;
  }
}

}  // namespace orvelle::http
