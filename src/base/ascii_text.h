// ASCII case and trimming helpers: protocol words, setting names and port names compare the
// same whatever the locale says about bytes above 127.
#pragma once

#include <string>
#include <string_view>

namespace orvelle::base {

constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Only A-Z and a-z change; every other byte stays as it is.
std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);

// Equal when they differ at most in the case of ASCII letters.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// Drops every byte of code 32 or below (blanks and control characters) from both ends.
std::string_view TrimBlanksAndControls(std::string_view text);

}  // namespace orvelle::base
