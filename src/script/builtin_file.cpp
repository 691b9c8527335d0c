// readfile: a whole file as text, through the host's files.
#include "script/builtin_functions.h"

namespace orvelle::script::builtin {

BuiltinValue Readfile(BuiltinEnv& env, Args args) {
  std::string content;
  std::string error = env.host.Files().ReadFile(args[0], content);
  if (!error.empty()) return BadArgument(env, error);
  return BuiltinValue::Text(std::move(content));
}

}  // namespace orvelle::script::builtin
