// geterror: the last message reported in this run.
#include "script/builtin_functions.h"

namespace orvelle::script::builtin {

BuiltinValue Geterror(BuiltinEnv& env, Args) {
  return BuiltinValue::Text(env.last_error);
}

}  // namespace orvelle::script::builtin
