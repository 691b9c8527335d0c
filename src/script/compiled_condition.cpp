// Evaluation of a plain row of relations without rewriting the condition's text.
#include "compiled_condition.h"

#include "run_state.h"
#include "script_run.h"

namespace orvelle::script {

int FindConnector(std::string_view after) {
  std::size_t conj = after.find("&&");
  std::size_t disj = after.find("||");
  if (conj == std::string_view::npos && disj == std::string_view::npos) return 0;
  return conj < disj ? 1 : 2;
}

bool CompiledCondition::ParseTerms(std::string_view s, CompileContext& context) {
  std::size_t first_end = std::string_view::npos;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == ')') return false;
    if (s[i] != '(') continue;
    std::size_t close = s.find_first_of("()", i + 1);
    if (close == std::string_view::npos || s[close] == '(') return false;
    std::string_view inner = s.substr(i + 1, close - i - 1);
    RelOpMatch match = FindRelOp(inner);
    if (!match.found) return false;  // a value group rewrites the text
    Term& term = terms_.emplace_back();
    term.op = match.op;
    term.state = context.operand_states++;
    term.left = CompiledExpr::Compile(Trim(inner.substr(0, match.position)), context, true);
    term.right = CompiledExpr::Compile(Trim(inner.substr(match.position + 2)), context, true);
    if (first_end == std::string_view::npos) first_end = close;
    i = close;
  }
  if (first_end != std::string_view::npos) {
    connector_ = static_cast<Connector>(FindConnector(s.substr(first_end + 1)));
  }
  return true;
}

CompiledCondition CompiledCondition::Compile(std::string_view text, CompileContext& context,
                                             bool allow_tree) {
  CompiledCondition condition;
  condition.text_ = std::string(text);
  if (allow_tree) {
    condition.tree_ = condition.ParseTerms(StripBlanks(text), context);
    if (!condition.tree_) condition.terms_.clear();
  }
  return condition;
}

namespace {

// One side of a relation: a variable or literal is read in place, anything else is evaluated.
const Value* EvalSide(ScriptRun& engine, const CompiledExpr& expr, Value& scratch) {
  if (std::uint32_t index = expr.SoleVariable(); index != kNoSlot) {
    return &engine.Store().At(index).value;
  }
  if (const Value* constant = expr.SoleConstant()) return constant;
  if (!expr.Eval(engine, scratch)) return nullptr;
  return &scratch;
}

// Equal texts; two whole numbers kept as numbers are compared without writing their digits.
bool SameText(const Value& left, const Value& right) {
  if (left.IsInteger() && right.IsInteger()) return left.Number().value == right.Number().value;
  return left.Text() == right.Text();
}

// CompareTexts on values: the texts are read only where the relation needs them.
bool Relate(RelOp op, const Value& left, const Value& right) {
  double a, b;
  if (left.Number().is_number && right.Number().is_number) {
    a = left.Number().value;
    b = right.Number().value;
  } else {
    CompareNumbers(left.Text(), right.Text(), a, b);
  }
  switch (op) {
    case RelOp::kEqual:
      return SameText(left, right);
    case RelOp::kNotEqual:
      return !SameText(left, right);
    case RelOp::kGreater:
      return a > b;
    case RelOp::kLess:
      return a < b;
    case RelOp::kGreaterEqual:
      return a > b || SameText(left, right);
    case RelOp::kLessEqual:
      return a < b || SameText(left, right);
  }
  return false;
}

}  // namespace

bool CompiledCondition::Eval(ScriptRun& engine, bool& result) const {
  if (tree_ && EvalTerms(engine, result)) return true;
  // The one fall-back rule: the text evaluator goes on from the text as the text algorithm
  // would hold it. The sides are free of effects, so that is the whole text.
  return engine.Text().Condition(text_, result);
}

// False (result as it was) when a side fails: the group then turns into a value.
bool CompiledCondition::EvalTerms(ScriptRun& engine, bool& result) const {
  const bool initial = result;
  bool first = true;
  for (const Term& term : terms_) {
    // The sides' scratch values belong to the run, so their buffers are reused from pass to pass.
    OperandState& scratch = engine.OperandStateAt(term.state);
    const Value* left = EvalSide(engine, term.left, scratch.result);
    const Value* right = left ? EvalSide(engine, term.right, scratch.arg_scratch) : nullptr;
    if (!right) {
      result = initial;
      return false;
    }
    bool truth = Relate(term.op, *left, *right);
    if (first) {
      result = truth;
      first = false;
    } else if (connector_ == Connector::kAnd) {
      result = result && truth;
    } else if (connector_ == Connector::kOr) {
      result = result || truth;
    }
  }
  return true;
}

}  // namespace orvelle::script
