// A condition analysed once: a row of parenthesised relations joined by one connector is
// evaluated from its parts; every other shape is evaluated from its text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compiled_expression.h"
#include "text_scan.h"

namespace orvelle::script {

class CompiledCondition {
 public:
  static CompiledCondition Compile(std::string_view text, CompileContext& context, bool allow_tree);
  // Same contract as TextEvaluator::Condition, which it falls back to (text_evaluator.h).
  bool Eval(ScriptRun& engine, bool& result) const;

 private:
  enum class Connector { kNone, kAnd, kOr };
  struct Term {
    CompiledExpr left, right;
    RelOp op;
    std::uint32_t state = 0;  // the run's operand state whose two values hold evaluated sides
  };
  bool ParseTerms(std::string_view s, CompileContext& context);
  bool EvalTerms(ScriptRun& engine, bool& result) const;

  std::string text_;
  bool tree_ = false;
  std::vector<Term> terms_;
  Connector connector_ = Connector::kNone;
};

// The connector that first follows the first term: the earlier of "&&" and "||".
int FindConnector(std::string_view after);  // 0 none, 1 and, 2 or

}  // namespace orvelle::script
