// Reasons for failures, noted where they happen and told with the line they happened on.
#include <fmt/format.h>

#include "script_run.h"

namespace orvelle::script {

namespace {
constexpr std::size_t kMaxBuiltinArgs = 6;     // more than any built-in takes
constexpr std::size_t kMaxNamedInReason = 64;  // a longer name is cut: it comes from the page

std::string Plural(std::size_t n, std::string_view word) {
  return fmt::format("{} {}{}", n, word, n == 1 ? "" : "s");
}

}  // namespace

void ScriptRun::NoteCall(std::string_view name, std::size_t arg_count) {
  if (!limits_.explain) return;
  const std::string shown(name.substr(0, kMaxNamedInReason));
  if (FindBuiltin(name, arg_count)) {
    why_ = fmt::format("{} does nothing in an expression", shown);
    return;
  }
  for (std::size_t n = 0; n <= kMaxBuiltinArgs; ++n) {
    if (FindBuiltin(name, n)) {
      why_ = fmt::format("{} takes {}, not {}", shown, Plural(n, "argument"), arg_count);
      return;
    }
  }
  why_ = fmt::format("unknown function {} with {}", shown, Plural(arg_count, "argument"));
}

void ScriptRun::NoteArithmetic(char op, const Value& right) {
  if (!limits_.explain) return;
  why_ = op == '/' && right.Number().value == 0 ? "division by zero"
                                                : fmt::format("overflow in {}", op);
}

void ScriptRun::ExplainFailure(int k) {
  if (!limits_.explain) return;
  limits_.explain->Explain(k, why_.empty() ? "the expression could not be worked out" : why_);
  why_.clear();
}

}  // namespace orvelle::script
