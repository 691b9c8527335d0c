// Serial-port built-ins: enumports, is_open, receive and query through the host's serial access,
// and the modem-signal queries.
#include <algorithm>

#include "script/builtin_functions.h"
#include "script/numbers.h"

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
// A page waits at most this long for one reply: longer holds the one script slot from every
// other page and program.
constexpr std::int32_t kMaxQueryWaitMs = 60'000;
}  // namespace

// query (text, end, timeoutms): a fresh exchange (what waited before is discarded), the reply up
// to and including the first `end`, or what arrived when the time is up.
BuiltinValue Query(BuiltinEnv& env, Args args) {
  const std::optional<std::int32_t> wait = ParseIntegerText(args[2]);
  if (!wait) return BadArgument(env, "query: unexpected argument.");
  SerialAccess::QueryRequest request;
  request.send = args[0];
  request.until = args[1];
  request.timeout = std::chrono::milliseconds(std::clamp(*wait, 0, kMaxQueryWaitMs));
  SerialAccess::QueryReply reply;
  const auto outcome = env.host.Serial().Query(request, env.host.StopToken(), reply);
  if (outcome != SerialAccess::QueryOutcome::kDone) {
    // Like receive on a failed read: the message, and the expression fails.
    env.call_failed = true;
    return BadArgument(env, "error sending data");
  }
  return BuiltinValue::Text(std::move(reply.bytes));
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
