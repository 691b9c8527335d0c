// The table of built-in functions: how each is named, how many arguments it takes, and the
// function that does its work on the arguments' texts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "host.h"
#include "value.h"

namespace orvelle::script {

// What a built-in hands back: a text (spliced as a quoted literal) or a number (spliced as its
// text form).
struct BuiltinValue {
  enum class Kind { kText, kNumber };
  Kind kind = Kind::kText;
  std::string text;
  double number = 0;

  static BuiltinValue Text(std::string t) { return {Kind::kText, std::move(t), 0}; }
  static BuiltinValue Number(double n) { return {Kind::kNumber, {}, n}; }
};

// What a built-in may reach while it works.
struct BuiltinEnv {
  ScriptHost& host;
  std::int64_t counter_frequency;  // read once when the engine was created
  const std::string& last_error;   // for geterror
  std::string error;               // set to the message when an argument is bad
  bool call_failed = false;        // set by receive when the buffer cannot be read
  bool no_action = false;          // the call fails its expression and leaves error alone
};

using BuiltinFn = BuiltinValue (*)(BuiltinEnv& env, std::span<const std::string> args);
// The same work read from the argument values in place (no text copied, numbers not re-read);
// the text form above stays the definition.
using BuiltinValueFn = BuiltinValue (*)(BuiltinEnv& env, std::span<const Value* const> args);

// The built-ins the compiled path works out itself when every argument is a plain operand.
enum class DirectBuiltin : unsigned char { kNone, kLen, kMid };

struct BuiltinEntry {
  std::string_view name;
  int arg_count;
  BuiltinFn fn;
  // Names of the vocabulary without action: the call fails, error is left alone.
  bool inert = false;
  BuiltinValueFn on_values = nullptr;  // set only where copying the arguments is the cost
  DirectBuiltin direct = DirectBuiltin::kNone;
};

// The bytes mid(text, start, count) takes from text, read from the values in place; nullopt when
// start or count is no whole number (the call then reports a bad argument). The compiled path
// shares it with the built-in, so both give the same bytes.
std::optional<std::string_view> MidPart(std::string_view text, const Value& start,
                                        const Value& count);

// The built-in with exactly this name and argument count, or nullptr.
const BuiltinEntry* FindBuiltin(std::string_view name, std::size_t arg_count);

}  // namespace orvelle::script
