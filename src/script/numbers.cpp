// Reading and writing numbers as the script language sees them: a number is always text, so
// these conversions decide every arithmetic result and every comparison.
#include "numbers.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace orvelle::script {
namespace {

constexpr int kFastDigits = 15;             // up to 15 digits, accumulating in a double is exact
constexpr long double kPlainLimit = 1e15L;  // at and beyond this, numbers are written with "E"

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool AtEnd(std::string_view s, std::size_t i) {
  return i >= s.size() || s[i] == '\0';
}

// Scans the number syntax. Returns true when complete; start/end bound the numeric part.
struct Scan {
  bool complete = false;
  bool negative = false;
  std::size_t mantissa_digits = 0;
  bool has_point = false;
  bool has_exponent = false;
  double partial = 0;  // all digits read before the syntax broke, as one whole number
  std::size_t begin = 0, end = 0;
};

void ReadDigits(std::string_view s, std::size_t& i, Scan& scan, std::size_t& count) {
  while (i < s.size() && IsDigit(s[i])) {
    scan.partial = scan.partial * 10 + (s[i] - '0');
    ++i;
    ++count;
  }
}

Scan ScanNumber(std::string_view s) {
  Scan scan;
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  if (AtEnd(s, i)) return scan;  // empty text is no number
  scan.begin = i;
  if (s[i] == '+' || s[i] == '-') {
    scan.negative = s[i] == '-';
    ++i;
    if (AtEnd(s, i)) return scan;
  }
  ReadDigits(s, i, scan, scan.mantissa_digits);
  if (i < s.size() && s[i] == '.') {
    scan.has_point = true;
    ++i;
    ReadDigits(s, i, scan, scan.mantissa_digits);
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    ReadDigits(s, i, scan, exponent_digits);
    if (exponent_digits == 0) return scan;
    scan.has_exponent = true;
  }
  scan.end = i;
  scan.complete = AtEnd(s, i);
  return scan;
}

double CompleteValue(std::string_view s, const Scan& scan) {
  if (scan.mantissa_digits == 0) return scan.negative ? -0.0 : 0.0;
  std::string_view part = s.substr(scan.begin, scan.end - scan.begin);
  if (!scan.has_point && !scan.has_exponent && scan.mantissa_digits <= kFastDigits) {
    return scan.negative ? -scan.partial : scan.partial;  // digits accumulated exactly
  }
  std::string copy(part);  // strtod needs a terminated string
  return std::strtod(copy.c_str(), nullptr);
}

void AppendScientific(std::string& out, long double x) {
  char buffer[64];
  int n = std::snprintf(buffer, sizeof buffer, "%.15Lg", x);
  std::string_view text(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  std::size_t e = text.find('e');
  if (e == std::string_view::npos) {
    out += text;
    return;
  }
  out += text.substr(0, e);
  out += 'E';
  std::size_t i = e + 1;
  if (text[i] == '-') out += '-';
  if (text[i] == '+' || text[i] == '-') ++i;
  while (i + 1 < text.size() && text[i] == '0') ++i;
  out += text.substr(i);
}

}  // namespace

double ParseNumber(std::string_view text, bool& complete) {
  Scan scan = ScanNumber(text);
  complete = scan.complete;
  if (!complete) return scan.partial;
  return CompleteValue(text, scan);
}

double NumberValue(std::string_view text) {
  bool complete = false;
  return ParseNumber(text, complete);
}

bool IsNumber(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
  return ScanNumber(text).complete;
}

void AppendInteger(std::string& out, std::int64_t value) {
  // Digits are written backwards into a small buffer and copied by hand: for the short texts
  // of loop counters this beats a library call per number.
  char buffer[24];
  char* end = buffer + sizeof buffer;
  char* p = end;
  std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--p = '-';
  const std::size_t old_size = out.size();
  const auto count = static_cast<std::size_t>(end - p);
  out.resize(old_size + count);
  char* target = out.data() + old_size;
  for (std::size_t i = 0; i < count; ++i) target[i] = p[i];
}

void AppendNumberText(std::string& out, long double x) {
  if (x == 0 || std::isnan(x)) {
    out += '0';
    return;
  }
  if (std::fabs(x) < kPlainLimit && x == std::trunc(x)) {
    AppendInteger(out, static_cast<std::int64_t>(x));
    return;
  }
  AppendScientific(out, x);
}

std::string NumberText(long double x) {
  std::string out;
  AppendNumberText(out, x);
  return out;
}

namespace {

std::optional<std::uint32_t> ParseHexDigits(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : s) {
    int digit;
    if (IsDigit(c))
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return std::nullopt;
    value = value * 16 + digit;
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<std::int32_t> ParseDecimalDigits(std::string_view s, bool negative) {
  if (s.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : s) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

}  // namespace

std::optional<std::int32_t> ParseIntegerText(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t prefix = 0;
  if (text[0] == '$' || text[0] == 'x' || text[0] == 'X')
    prefix = 1;
  else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    prefix = 2;
  if (prefix > 0) {
    auto bits = ParseHexDigits(text.substr(prefix));
    if (!bits) return std::nullopt;
    return static_cast<std::int32_t>(*bits);
  }
  bool negative = text[0] == '-';
  if (text[0] == '+' || text[0] == '-') text.remove_prefix(1);
  return ParseDecimalDigits(text, negative);
}

std::optional<std::int32_t> VariantToInteger(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
  Scan scan = ScanNumber(text);
  if (!scan.complete || scan.mantissa_digits == 0) return std::nullopt;
  double value = std::nearbyint(CompleteValue(text, scan));
  if (!(value >= std::numeric_limits<std::int32_t>::min() &&
        value <= std::numeric_limits<std::int32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace orvelle::script
