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

namespace {
// "1" or "0" on an open port. On a closed one the call has no action: it fails the expression it
// stands in and leaves error as it was.
BuiltinValue Signal(BuiltinEnv& env, SerialAccess::ModemSignal signal) {
  std::string text = env.host.Serial().ModemSignalText(signal);
  if (text.empty()) env.no_action = true;
  return BuiltinValue::Text(std::move(text));
}
}  // namespace

// getcts, getdsr, getrlsd and getring: the argument is not looked at.
BuiltinValue Getcts(BuiltinEnv& env, Args) {
  return Signal(env, SerialAccess::ModemSignal::kCts);
}
BuiltinValue Getdsr(BuiltinEnv& env, Args) {
  return Signal(env, SerialAccess::ModemSignal::kDsr);
}
BuiltinValue Getrlsd(BuiltinEnv& env, Args) {
  return Signal(env, SerialAccess::ModemSignal::kRlsd);
}
BuiltinValue Getring(BuiltinEnv& env, Args) {
  return Signal(env, SerialAccess::ModemSignal::kRing);
}

}  // namespace orvelle::script::builtin
