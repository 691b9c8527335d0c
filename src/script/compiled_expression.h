// An expression analysed once and evaluated many times. Texts of the plain shape (operands and
// operators, calls and groups that nest cleanly) are evaluated from a tree; whenever a value
// spliced at run time could change how the text splits, evaluation goes on from the exact text
// the text algorithm would hold at that point, so both ways give the same bytes. A value that
// would be read as code once put back fails the expression in both ways alike.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "builtins.h"
#include "name_table.h"
#include "value.h"
#include "variable_store.h"

namespace orvelle::script {

class ScriptRun;

// What compiling needs beyond the text: the program's name table, and a count of the per-run
// states that its calls and groups take.
struct CompileContext {
  NameTable& names;
  std::uint32_t operand_states = 0;
};

class CompiledExpr {
 public:
  CompiledExpr();
  ~CompiledExpr();
  CompiledExpr(CompiledExpr&&) noexcept;
  CompiledExpr& operator=(CompiledExpr&&) noexcept;

  // allow_tree = false keeps the text algorithm for every evaluation.
  static CompiledExpr Compile(std::string_view text, CompileContext& context, bool allow_tree);

  // Same contract as TextEvaluator::Expression: on failure in a group or call, result is
  // untouched; on a failing operator, result holds the value before it. Where the tree cannot
  // vouch for the bytes, the text evaluator goes on from the text as it then stands (the one
  // fall-back rule, text_evaluator.h).
  bool Eval(ScriptRun& engine, Value& result) const;

  bool IsTree() const { return root_ != nullptr; }
  // The variable's slot index when the whole expression is one variable name; else kNoSlot.
  std::uint32_t SoleVariable() const { return sole_variable_; }
  // The value when the whole expression is one literal (or empty).
  const Value* SoleConstant() const { return sole_constant_; }
  // The value the expression reads when it is one variable or one literal, read in place.
  const Value* SoleValue(const VariableStore& variables) const {
    if (sole_constant_) return sole_constant_;
    return sole_variable_ != kNoSlot ? &variables.At(sole_variable_).value : nullptr;
  }
  // The variable's slot index when the expression is that variable joined with "&" to plain
  // operands that are not it; else kNoSlot.
  std::uint32_t AppendsTo() const { return appends_to_; }
  // For such an expression: appends the other operands' texts to the variable's defined slot.
  void AppendInPlace(VariableStore& variables, std::string_view name) const;

  // For `a + b` or `a - b` of variables, literals and lengths (`len (v)` of one of those) that
  // hold whole numbers kept as numbers: the result, when it is one too. False otherwise (the
  // general evaluation then decides). A length is taken as the built-in call takes it, so the
  // caller clears error first when SumCalls() says so.
  bool WholeSum(const VariableStore& variables, double& r) const {
    if (sum_op_ == 0) return false;
    if (!sum_calls_) {
      const Value& a = sum_[0].constant ? *sum_[0].constant : variables.At(sum_[0].slot).value;
      const Value& b = sum_[1].constant ? *sum_[1].constant : variables.At(sum_[1].slot).value;
      return SumOfKept(a, b, sum_op_, r);
    }
    double a = 0, b = 0;
    if (!SideWhole(variables, sum_[0], a) || !SideWhole(variables, sum_[1], b)) return false;
    r = sum_op_ == '+' ? a + b : a - b;
    constexpr auto kLimit = static_cast<double>(kPlainIntegerLimit);
    return r > -kLimit && r < kLimit;
  }
  bool SumCalls() const { return sum_calls_; }

  // What a whole expression that is `len (a)` or `mid (a, b, c)` of plain operands gives, worked
  // out from the operands in place. kNone for other expressions, and for a mid whose numbers are
  // bad (the general path then reports it); nothing is changed either way.
  enum class Direct : std::uint8_t { kNone, kNumber, kText };
  Direct DirectCall(const VariableStore& variables, std::int64_t& number,
                    std::string_view& text) const;

  struct Flat;
  // One side of a sum, or one argument of a direct call: a variable's slot or a literal, and (in
  // a sum) whether the side is the length of it.
  struct SumSide {
    std::uint32_t slot = kNoSlot;
    const Value* constant = nullptr;
    bool length = false;
  };
  struct Operand;
  enum class Outcome { kOk, kFail, kUnsafe };

 private:
  Outcome EvalTree(ScriptRun& engine, Value& result, std::string& at) const;

  std::string stripped_;  // the text without blanks: where the text algorithm starts
  std::unique_ptr<Flat> root_;
  std::uint32_t sole_variable_ = kNoSlot;
  const Value* sole_constant_ = nullptr;
  std::uint32_t appends_to_ = kNoSlot;
  static const Value& SideValue(const VariableStore& variables, const SumSide& side) {
    return side.constant ? *side.constant : variables.At(side.slot).value;
  }
  static bool SideWhole(const VariableStore& variables, const SumSide& side, double& n) {
    const Value& v = SideValue(variables, side);
    if (side.length) {
      n = static_cast<double>(v.Text().size());
      return true;
    }
    if (!v.IsInteger()) return false;
    n = v.Number().value;
    return true;
  }
  void SetSum();
  void SetDirect();
  SumSide sum_[2];
  char sum_op_ = 0;
  bool sum_calls_ = false;
  // A whole-expression call of len or mid on plain operands: the built-in and its operands.
  DirectBuiltin direct_ = DirectBuiltin::kNone;
  SumSide direct_args_[3];
};

// Folds values left to right with one operator; shared by the text and the tree evaluators.
// Returns false on an arithmetic error (result then keeps its previous value).
bool ApplyOperator(Value& result, const Value& right, char op, bool first);

}  // namespace orvelle::script
