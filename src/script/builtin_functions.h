// The work functions behind the built-in table, one group per topic file, and the small helpers
// they share. Only builtins.cpp and the builtin_*.cpp files include this.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "script/builtins.h"

namespace orvelle::script::builtin {

using Args = std::span<const std::string>;

// Records a bad argument's message and yields the empty text that such a call hands back.
inline BuiltinValue BadArgument(BuiltinEnv& env, std::string_view message) {
  env.error = std::string(message);
  return BuiltinValue::Text({});
}

// builtin_error.cpp
BuiltinValue Geterror(BuiltinEnv& env, Args args);

// builtin_text.cpp
BuiltinValue Tohex(BuiltinEnv& env, Args args);
BuiltinValue Len(BuiltinEnv& env, Args args);
BuiltinValue Asc(BuiltinEnv& env, Args args);
BuiltinValue Pos(BuiltinEnv& env, Args args);
BuiltinValue Ucase(BuiltinEnv& env, Args args);
BuiltinValue Lcase(BuiltinEnv& env, Args args);
BuiltinValue Mid(BuiltinEnv& env, Args args);
// len and mid on values in place, for the compiled path.
BuiltinValue LenValues(BuiltinEnv& env, std::span<const Value* const> args);
BuiltinValue MidValues(BuiltinEnv& env, std::span<const Value* const> args);
BuiltinValue Del(BuiltinEnv& env, Args args);
BuiltinValue Chr(BuiltinEnv& env, Args args);
BuiltinValue Trim(BuiltinEnv& env, Args args);
// Text for HTML: markup characters, quotes and parentheses as character references.
BuiltinValue Htmlencode(BuiltinEnv& env, Args args);

// builtin_numbers.cpp
BuiltinValue Random(BuiltinEnv& env, Args args);
BuiltinValue Pow(BuiltinEnv& env, Args args);

// builtin_split.cpp
BuiltinValue Split(BuiltinEnv& env, Args args);
BuiltinValue Extract(BuiltinEnv& env, Args args);

// builtin_time.cpp
BuiltinValue Time(BuiltinEnv& env, Args args);
BuiltinValue Date(BuiltinEnv& env, Args args);
BuiltinValue Year(BuiltinEnv& env, Args args);
BuiltinValue Month(BuiltinEnv& env, Args args);
BuiltinValue Day(BuiltinEnv& env, Args args);
BuiltinValue Getticks(BuiltinEnv& env, Args args);

// builtin_port.cpp
BuiltinValue Enumports(BuiltinEnv& env, Args args);
BuiltinValue IsOpen(BuiltinEnv& env, Args args);
BuiltinValue Receive(BuiltinEnv& env, Args args);
BuiltinValue Query(BuiltinEnv& env, Args args);
BuiltinValue Getcts(BuiltinEnv& env, Args args);
BuiltinValue Getdsr(BuiltinEnv& env, Args args);
BuiltinValue Getrlsd(BuiltinEnv& env, Args args);
BuiltinValue Getring(BuiltinEnv& env, Args args);

// builtin_file.cpp
BuiltinValue Readfile(BuiltinEnv& env, Args args);

}  // namespace orvelle::script::builtin
