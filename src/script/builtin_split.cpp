// The split list built-ins: split fills the program-wide list of parts, extract reads it.
#include <cstdint>
#include <string>
#include <vector>

#include "script/builtin_functions.h"
#include "script/numbers.h"

namespace orvelle::script::builtin {
namespace {

// The pieces of text between occurrences of separator; a trailing separator leaves no empty
// last piece, and an empty separator is never found.
std::vector<std::string> SplitText(std::string_view text, std::string_view separator) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  while (!separator.empty()) {
    std::size_t at = text.find(separator, from);
    if (at == std::string_view::npos) break;
    parts.emplace_back(text.substr(from, at - from));
    from = at + separator.size();
  }
  if (from < text.size()) parts.emplace_back(text.substr(from));
  return parts;
}

}  // namespace

BuiltinValue Split(BuiltinEnv& env, Args args) {
  std::vector<std::string>& parts = env.host.SplitParts();
  parts = SplitText(args[0], args[1]);
  return BuiltinValue::Text(std::to_string(parts.size()));
}

BuiltinValue Extract(BuiltinEnv& env, Args args) {
  auto k = ParseIntegerText(args[0]);
  if (!k) return BadArgument(env, "extract: unexpected argument.");
  const std::vector<std::string>& parts = env.host.SplitParts();
  if (*k < 1 || static_cast<std::uint32_t>(*k) > parts.size()) return BuiltinValue::Text({});
  return BuiltinValue::Text(parts[static_cast<std::size_t>(*k - 1)]);
}

}  // namespace orvelle::script::builtin
