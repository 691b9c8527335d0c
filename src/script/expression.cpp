// Expressions evaluated on their text: innermost groups first, each replaced by the text of its
// value, then the flat rest folded left to right. A value whose text would be read as code once
// put back (see PastesInertly) makes the expression fail instead.
#include <algorithm>
#include <cmath>

#include "compiled_expression.h"
#include "script_run.h"
#include "text_evaluator.h"
#include "text_scan.h"

namespace orvelle::script {

namespace {

// The text being rewritten, split at a cursor: `left` is the text before it, `right` the text
// after it in reverse, so that replacing a group just before the cursor and searching on from
// it cost no more than the characters involved.
class GapText {
 public:
  explicit GapText(std::string text) : right_(text.rbegin(), text.rend()) {
    closes_ = CountCloses(right_);
  }

  // Moves the cursor past the next ")"; false when there is none (cursor at the end).
  bool AdvancePastClose() {
    while (!right_.empty()) {
      char c = right_.back();
      right_.pop_back();
      if (c == ')') {
        --closes_;
        return true;
      }
      left_ += c;
    }
    return false;
  }
  std::string& Left() { return left_; }
  // Nothing stands after the cursor.
  bool AtEnd() const { return right_.empty(); }
  // Whether a ")" stands anywhere after the cursor.
  bool CloseFollows() const { return closes_ > 0; }
  // Drops left_ from start on and puts text right after the cursor.
  void Replace(std::size_t start, std::string_view text) {
    left_.resize(start);
    right_.append(text.rbegin(), text.rend());
    closes_ += CountCloses(text);
  }

 private:
  static std::size_t CountCloses(std::string_view text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), ')'));
  }

  std::string left_;
  std::string right_;
  std::size_t closes_ = 0;  // ")" in right_, so the look-ahead costs nothing per group
};

}  // namespace

bool TextEvaluator::Expression(std::string stripped, Value& result) {
  GapText s(std::move(stripped));
  while (s.AdvancePastClose()) {
    std::string& left = s.Left();
    std::size_t o = left.rfind('(');
    if (o == std::string::npos) return false;
    std::string inner = left.substr(o + 1);
    std::string splice;
    std::size_t start = o;
    if (o > 0 && !IsSubExprMark(left[o - 1])) {
      start = o - 1;
      while (start > 0 && !IsNameStop(left[start - 1])) --start;
      BuiltinValue value;
      if (!Builtin(left.substr(start, o - start) + "(" + inner + ")", value)) return false;
      if (value.kind == BuiltinValue::Kind::kText && start == 0 && s.AtEnd()) {
        // The call is the whole expression: its text is the result as it stands, never read
        // again, so a reply or a file holding quotes or parentheses still arrives intact.
        result.SetText(value.text);
        return true;
      }
      if (value.kind == BuiltinValue::Kind::kText && !PastesInertly(value.text, s.CloseFollows())) {
        return false;
      }
      splice = value.kind == BuiltinValue::Kind::kText ? "\"" + value.text + "\""
                                                       : NumberText(value.number);
    } else {
      Value value;
      if (!Flat(inner, value)) return false;
      if (!PastesInertly(value.Text(), s.CloseFollows())) return false;
      splice = value.TakeText();
    }
    s.Replace(start, splice);
  }
  return Flat(s.Left(), result);
}

bool TextEvaluator::Flat(std::string_view text, Value& result) {
  // Operands are folded as they are met (reading them has no effects, so the order is not
  // seen). An arithmetic failure keeps the value before it; a number literal beyond the range
  // of a double fails the whole expression before anything is written.
  std::string_view s = Trim(text);
  Value acc, operand;
  bool failed = false, overflow = false, in_quote = false;
  std::size_t op_count = 0, token_start = 0;
  char pending = 0;
  auto take = [&](std::size_t end) {
    std::string_view token = Trim(s.substr(token_start, end - token_start));
    Value& target = op_count == 0 ? acc : operand;
    if (Operand(token, target) == OperandResult::kOverflow) {
      overflow = true;
    } else if (op_count > 0 && !failed) {
      failed = !ApplyOperator(acc, operand, pending, op_count == 1);
      if (failed) run_.NoteArithmetic(pending, operand);
    }
  };
  for (std::size_t i = 0; i < s.size() && !overflow; ++i) {
    char c = s[i];
    if (c == '"') in_quote = !in_quote;
    if (in_quote || !IsOperatorChar(c)) continue;
    take(i);
    ++op_count;
    pending = c;
    token_start = i + 1;
  }
  if (!overflow) take(s.size());
  if (overflow) return false;
  result = std::move(acc);
  return !failed;
}

TextEvaluator::OperandResult TextEvaluator::Operand(std::string_view token, Value& value) {
  if (IsNumber(token)) {
    double number = NumberValue(token);
    if (!std::isfinite(number)) {
      value.Clear();
      return OperandResult::kOverflow;
    }
    value.SetText(NumberText(number));
    return OperandResult::kFound;
  }
  if (!token.empty() && token.front() == '"' && token.back() == '"') {
    value.SetText(token.size() >= 2 ? token.substr(1, token.size() - 2) : std::string_view());
    return OperandResult::kFound;
  }
  if (token.empty()) {  // an empty operand is empty text, never the variable with no name
    value.Clear();
    return OperandResult::kNotFound;
  }
  const VariableStore::Slot* slot = run_.Store().Find(token);
  if (slot && slot->defined) {
    value = slot->value;
    return OperandResult::kFound;
  }
  value.Clear();
  return OperandResult::kNotFound;
}

bool TextEvaluator::Builtin(std::string_view call_text, BuiltinValue& result) {
  SplitResult split = SplitCall(call_text);
  const BuiltinEntry* entry = FindBuiltin(split.name, split.args.size());
  if (!entry || entry->inert) {
    run_.NoteCall(split.name, split.args.size());
    return false;
  }
  std::string values[3];
  bool ok = true;
  for (std::size_t i = 0; i < split.args.size() && ok; ++i) {
    Value value;
    ok = Expression(StripBlanks(split.args[i]), value);
    values[i] = value.TakeText();
  }
  bool call_failed = false;
  result = run_.CallBuiltin(*entry, std::span<const std::string>(values, split.args.size()),
                            call_failed);
  return ok && !call_failed;
}

}  // namespace orvelle::script
