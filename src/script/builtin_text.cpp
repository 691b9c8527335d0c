// Text built-ins: tohex, len, asc, pos, ucase, lcase, mid, del, chr, trim, htmlencode. They work on
// bytes; case changes touch ASCII letters only.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "base/ascii_text.h"
#include "base/html_text.h"
#include "script/builtin_functions.h"
#include "script/numbers.h"

namespace orvelle::script::builtin {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

BuiltinValue Tohex(BuiltinEnv&, Args args) {
  std::string out;
  out.reserve(args[0].size() * 3);
  for (char c : args[0]) {
    auto code = static_cast<unsigned char>(c);
    if (!out.empty()) out += ' ';
    out += kHexDigits[code >> 4];
    out += kHexDigits[code & 0x0F];
  }
  return BuiltinValue::Text(std::move(out));
}

BuiltinValue Len(BuiltinEnv&, Args args) {
  return BuiltinValue::Number(static_cast<double>(args[0].size()));
}

BuiltinValue Asc(BuiltinEnv& env, Args args) {
  if (args[0].size() != 1) return BadArgument(env, "asc: unexpected argument.");
  return BuiltinValue::Number(static_cast<unsigned char>(args[0][0]));
}

BuiltinValue Pos(BuiltinEnv&, Args args) {
  const std::string& needle = args[0];
  const std::string& text = args[1];
  if (needle.empty() || text.empty()) return BuiltinValue::Number(0);
  std::size_t at = text.find(needle);
  return BuiltinValue::Number(at == std::string::npos ? 0 : static_cast<double>(at + 1));
}

BuiltinValue Ucase(BuiltinEnv&, Args args) {
  return BuiltinValue::Text(base::AsciiUpper(args[0]));
}

BuiltinValue Lcase(BuiltinEnv&, Args args) {
  return BuiltinValue::Text(base::AsciiLower(args[0]));
}

namespace {

// The part of text that mid takes; nullopt when start or count is bad.
std::optional<std::string_view> MidOf(std::string_view text, std::optional<std::int32_t> start,
                                      std::optional<std::int32_t> count) {
  if (!start || !count) return std::nullopt;
  // 64-bit so start + count cannot overflow for extreme 32-bit arguments.
  std::int64_t first = std::max<std::int64_t>(*start, 1);
  auto size = static_cast<std::int64_t>(text.size());
  if (first > size || *count < 0) return std::string_view();
  std::int64_t take = std::min<std::int64_t>(*count, size - first + 1);
  return text.substr(static_cast<std::size_t>(first - 1), static_cast<std::size_t>(take));
}

BuiltinValue MidResult(BuiltinEnv& env, std::optional<std::string_view> part) {
  if (!part) return BadArgument(env, "mid: unexpected argument.");
  return BuiltinValue::Text(std::string(*part));
}

// What ParseIntegerText gives for the value's text; a kept whole number is read without it.
std::optional<std::int32_t> IntegerOf(const Value& v) {
  if (!v.IsInteger()) return ParseIntegerText(v.Text());
  const double n = v.Number().value;
  if (n < std::numeric_limits<std::int32_t>::min() ||
      n > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(n);
}

}  // namespace

BuiltinValue Mid(BuiltinEnv& env, Args args) {
  return MidResult(env, MidOf(args[0], ParseIntegerText(args[1]), ParseIntegerText(args[2])));
}

BuiltinValue MidValues(BuiltinEnv& env, std::span<const Value* const> args) {
  return MidResult(env, MidPart(args[0]->Text(), *args[1], *args[2]));
}

BuiltinValue LenValues(BuiltinEnv&, std::span<const Value* const> args) {
  return BuiltinValue::Number(static_cast<double>(args[0]->Text().size()));
}

BuiltinValue Del(BuiltinEnv& env, Args args) {
  auto start = ParseIntegerText(args[1]);
  auto count = ParseIntegerText(args[2]);
  if (!start || !count) return BadArgument(env, "del: unexpected argument.");
  std::string text = args[0];
  auto size = static_cast<std::int64_t>(text.size());
  if (*start < 1 || *start > size || *count <= 0) return BuiltinValue::Text(std::move(text));
  std::int64_t removed = std::min<std::int64_t>(*count, size - *start + 1);
  text.erase(static_cast<std::size_t>(*start - 1), static_cast<std::size_t>(removed));
  return BuiltinValue::Text(std::move(text));
}

BuiltinValue Chr(BuiltinEnv& env, Args args) {
  auto code = ParseIntegerText(args[0]);
  if (!code) return BadArgument(env, "chr: unexpected argument.");
  // Only the low eight bits count, so 321 and 65 are both A and -1 is code 255.
  auto byte = static_cast<unsigned char>(static_cast<std::uint32_t>(*code) & 0xFFu);
  return BuiltinValue::Text(std::string(1, static_cast<char>(byte)));
}

BuiltinValue Htmlencode(BuiltinEnv&, Args args) {
  return BuiltinValue::Text(base::EscapeHtml(args[0]));
}

BuiltinValue Trim(BuiltinEnv&, Args args) {
  // Every byte of code 32 or below counts as blank, control characters included.
  return BuiltinValue::Text(std::string(base::TrimBlanksAndControls(args[0])));
}

}  // namespace orvelle::script::builtin

namespace orvelle::script {

std::optional<std::string_view> MidPart(std::string_view text, const Value& start,
                                        const Value& count) {
  return builtin::MidOf(text, builtin::IntegerOf(start), builtin::IntegerOf(count));
}

}  // namespace orvelle::script
