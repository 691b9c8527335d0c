// Serial-port built-ins: enumports, is_open and receive through the host's serial access, and the
// modem-signal queries.
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

// getcts, getdsr, getrlsd and getring: "1" or "0" on an open port, empty text on a closed one;
// the argument is not looked at.
BuiltinValue Getcts(BuiltinEnv& env, Args) {
  return BuiltinValue::Text(env.host.Serial().ModemSignalText(SerialAccess::ModemSignal::kCts));
}
BuiltinValue Getdsr(BuiltinEnv& env, Args) {
  return BuiltinValue::Text(env.host.Serial().ModemSignalText(SerialAccess::ModemSignal::kDsr));
}
BuiltinValue Getrlsd(BuiltinEnv& env, Args) {
  return BuiltinValue::Text(env.host.Serial().ModemSignalText(SerialAccess::ModemSignal::kRlsd));
}
BuiltinValue Getring(BuiltinEnv& env, Args) {
  return BuiltinValue::Text(env.host.Serial().ModemSignalText(SerialAccess::ModemSignal::kRing));
}

}  // namespace orvelle::script::builtin
