// Evaluation of a plain row of relations without rewriting the condition's text.
#include "compiled_condition.h"

#include "Uscripteng.h"

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
struct Side {
  std::string_view text;
  const NumberInfo* number = nullptr;
};

bool EvalSide(TExecute& engine, const CompiledExpr& expr, Value& scratch, Side& side) {
  if (std::uint32_t index = expr.SoleVariable(); index != kNoSlot) {
    const VariableStore::Slot& slot = engine.Store().At(index);
    side = {slot.value, &slot.Number()};
    return true;
  }
  if (const Value* constant = expr.SoleConstant()) {
    side = {constant->text, &constant->Number()};
    return true;
  }
  if (!expr.Eval(engine, scratch)) return false;
  side = {scratch.text, &scratch.Number()};
  return true;
}

}  // namespace

bool CompiledCondition::Eval(TExecute& engine, bool& result) const {
  if (!tree_) return engine.EvalCondition(text_, result);
  const bool initial = result;
  bool first = true;
  for (const Term& term : terms_) {
    Value left_value, right_value;
    Side left, right;
    if (!EvalSide(engine, term.left, left_value, left) ||
        !EvalSide(engine, term.right, right_value, right)) {
      // A side that fails turns the group into a value; the sides are free of effects, so the
      // text algorithm can take over from the start.
      result = initial;
      return engine.EvalCondition(text_, result);
    }
    double a, b;
    if (left.number->is_number && right.number->is_number) {
      a = left.number->value;
      b = right.number->value;
    } else {
      CompareNumbers(left.text, right.text, a, b);
    }
    bool truth = CompareTexts(term.op, left.text, right.text, a, b);
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
