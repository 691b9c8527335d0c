// The text evaluator: expressions and conditions worked out from their text, as the language
// defines them. The compiled forms fall back to it by one rule: whenever a compiled form cannot
// vouch for the bytes, it hands over the text exactly as the text algorithm would hold it at that
// point, and evaluation goes on from there.
#pragma once

#include <string>
#include <string_view>

#include "builtins.h"
#include "value.h"

namespace orvelle::script {

class ScriptRun;

class TextEvaluator {
 public:
  explicit TextEvaluator(ScriptRun& run) : run_(run) {}

  // The value of an expression's blank-stripped text. On failure in a group or call, result is
  // untouched; on a failing operator, it holds the value before that operator.
  bool Expression(std::string stripped, Value& result);
  // The truth of a condition's text; false when it does not evaluate.
  bool Condition(std::string_view text, bool& result);

 private:
  enum class OperandResult { kFound, kNotFound, kOverflow };
  struct Relation {
    bool is_relation = false;
    bool truth = false;
    Value value;
  };
  bool Flat(std::string_view text, Value& result);
  OperandResult Operand(std::string_view token, Value& value);
  bool Builtin(std::string_view call_text, BuiltinValue& result);
  bool ConditionAt(std::string_view text, bool& result, int depth);
  bool EvalRelation(std::string_view text, Relation& relation);

  ScriptRun& run_;
};

}  // namespace orvelle::script
