// Serial-port built-ins: enumports, is_open and receive through the host's serial access, and the
// modem-signal names that the language knows but gives no action.
#include "script/builtin_functions.h"

namespace orvelle::script::builtin {

BuiltinValue Enumports(BuiltinEnv& env, Args) {
  return BuiltinValue::Text(env.host.Serial().EnumPorts());
}

BuiltinValue IsOpen(BuiltinEnv& env, Args) {
  return BuiltinValue::Text(env.host.Serial().IsOpenText());
}

BuiltinValue Receive(BuiltinEnv& env, Args) {
  std::string bytes;
  if (!env.host.Serial().Receive(bytes)) {
    // Unlike other calls without arguments, a failed read also fails the expression.
    env.call_failed = true;
    return BadArgument(env, "error reading buffer");
  }
  return BuiltinValue::Text(std::move(bytes));
}

// getcts, getdsr, getrlsd and getring: the engine fails such a call before using its value.
BuiltinValue Inert(BuiltinEnv&, Args) {
  return BuiltinValue::Text({});
}

}  // namespace orvelle::script::builtin
