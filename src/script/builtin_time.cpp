// Clock built-ins: time, date, year, month, day from the host's local time, and getticks from its
// high-resolution counter.
#include <fmt/format.h>

#include <cstdint>

#include "script/builtin_functions.h"

namespace orvelle::script::builtin {
namespace {

// Counter ticks per millisecond are the counter frequency divided by this.
constexpr std::int64_t kMillisecondsPerSecond = 1000;

// std::tm counts years from 1900.
constexpr int kTmYearBase = 1900;

}  // namespace

BuiltinValue Time(BuiltinEnv& env, Args) {
  std::tm now = env.host.LocalTime();
  return BuiltinValue::Text(fmt::format("{:02}:{:02}:{:02}", now.tm_hour, now.tm_min, now.tm_sec));
}

BuiltinValue Date(BuiltinEnv& env, Args) {
  std::tm now = env.host.LocalTime();
  int year = (now.tm_year + kTmYearBase) % 100;
  return BuiltinValue::Text(fmt::format("{:02}-{:02}-{:02}", now.tm_mday, now.tm_mon + 1, year));
}

BuiltinValue Year(BuiltinEnv& env, Args) {
  return BuiltinValue::Number(env.host.LocalTime().tm_year + kTmYearBase);
}

BuiltinValue Month(BuiltinEnv& env, Args) {
  return BuiltinValue::Number(env.host.LocalTime().tm_mon + 1);
}

BuiltinValue Day(BuiltinEnv& env, Args) {
  return BuiltinValue::Number(env.host.LocalTime().tm_mday);
}

BuiltinValue Getticks(BuiltinEnv& env, Args) {
  std::int64_t ticks_per_ms = env.counter_frequency / kMillisecondsPerSecond;
  // Below 1000 counts per second (or no counter at all) there is no millisecond to count in.
  if (ticks_per_ms <= 0) return BadArgument(env, "getticks: undocumented error.");
  return BuiltinValue::Text(std::to_string(env.host.CounterTicks() / ticks_per_ms));
}

}  // namespace orvelle::script::builtin
