// Number built-ins: random and pow.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "script/builtin_functions.h"
#include "script/numbers.h"

namespace orvelle::script::builtin {
namespace {

// Largest magnitude a result may have; beyond it pow reports a bad argument.
constexpr long double kLargestResult = std::numeric_limits<double>::max();

// base^exponent by repeated squaring: at most 32 rounds whatever the exponent, and exact in
// long double while the result fits its 64-bit mantissa. Empty once the magnitude leaves the
// range of a double. The partial products stay below kLargestResult before each multiplication,
// so the long double arithmetic itself never overflows.
std::optional<long double> PowerOf(long double base, std::uint32_t exponent) {
  long double result = 1;
  long double square = base;
  while (true) {
    if (exponent & 1u) {
      result *= square;
      if (std::fabs(result) > kLargestResult) return std::nullopt;
    }
    exponent >>= 1;
    if (exponent == 0) return result;
    square *= square;
    // A square still to be used multiplies a result of magnitude >= 1 (|base| >= 2 here).
    if (square > kLargestResult) return std::nullopt;
  }
}

std::uint32_t Magnitude(std::int32_t value) {
  auto wide = static_cast<std::int64_t>(value);
  return static_cast<std::uint32_t>(wide < 0 ? -wide : wide);
}

}  // namespace

BuiltinValue Random(BuiltinEnv& env, Args args) {
  auto n = ParseIntegerText(args[0]);
  if (!n) return BadArgument(env, "random: unexpected argument.");
  // There is no number from 0 to n - 1 for n <= 0; such a call yields 0 rather than a message.
  if (*n <= 0) return BuiltinValue::Number(0);
  return BuiltinValue::Number(env.host.Random(static_cast<std::uint32_t>(*n)));
}

BuiltinValue Pow(BuiltinEnv& env, Args args) {
  auto base = ParseIntegerText(args[0]);
  auto exponent = ParseIntegerText(args[1]);
  if (!base || !exponent) return BadArgument(env, "pow: unexpected argument.");
  auto power = PowerOf(*base, Magnitude(*exponent));
  if (*exponent >= 0) {
    if (!power) return BadArgument(env, "pow: unexpected argument.");
    return BuiltinValue::Number(static_cast<double>(*power));
  }
  if (power && *power == 0) return BadArgument(env, "pow: unexpected argument.");
  // The reciprocal of a power beyond the double range is too small for a double: it becomes 0.
  if (!power) return BuiltinValue::Number(0);
  return BuiltinValue::Number(static_cast<double>(1 / *power));
}

}  // namespace orvelle::script::builtin
