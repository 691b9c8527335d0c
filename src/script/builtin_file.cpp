// readfile: a whole file as text, through the file operations.
#include "script/builtin_functions.h"
#include "script/file_ops.h"

namespace orvelle::script::builtin {

BuiltinValue Readfile(BuiltinEnv& env, Args args) {
  std::string error;
  std::string content = ReadWholeFile(args[0], error);
  if (!error.empty()) return BadArgument(env, error);
  return BuiltinValue::Text(std::move(content));
}

}  // namespace orvelle::script::builtin
