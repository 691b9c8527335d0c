// Conditions evaluated on their text: parenthesised relations consumed group by group, joined by
// the connector that first follows the first term.
#include "compiled_condition.h"
#include "script_run.h"
#include "text_evaluator.h"
#include "text_scan.h"

namespace orvelle::script {

namespace {
constexpr int kMaxConditionDepth = 200;  // nested sub-conditions; deeper ones fail

// The end of the run of parentheses that opens at g: where the counts first match, or the end.
std::size_t MatchingEnd(const std::string& s, std::size_t g) {
  int opened = 0, closed = 0;
  for (std::size_t i = g; i < s.size(); ++i) {
    if (s[i] == '(') ++opened;
    if (s[i] == ')') ++closed;
    if (opened == closed) return i;
  }
  return s.size() - 1;
}

// Joins the terms with the connector that first follows the first term.
class TermJoin {
 public:
  void Add(bool term, bool& result, std::string_view after_first) {
    if (!seen_) {
      result = term;
      seen_ = true;
      connector_ = FindConnector(Trim(after_first));
    } else if (connector_ == 1) {
      result = result && term;
    } else if (connector_ == 2) {
      result = result || term;
    }
  }

 private:
  bool seen_ = false;
  int connector_ = 0;
};
}  // namespace

bool TextEvaluator::Condition(std::string_view text, bool& result) {
  return ConditionAt(text, result, 0);
}

bool TextEvaluator::ConditionAt(std::string_view text, bool& result, int depth) {
  if (depth > kMaxConditionDepth) return false;
  std::string s = StripBlanks(text);
  TermJoin join;
  std::size_t from = 0;  // no ")" stands before this position
  for (;;) {
    std::size_t p = s.find(')', from);
    if (p == std::string::npos) return true;
    std::size_t o = p == 0 ? std::string::npos : s.rfind('(', p - 1);
    if (o == std::string::npos) return false;
    std::string inner = s.substr(o + 1, p - o - 1);
    bool term = false;
    std::size_t group_end;
    if (o > 0 && s[o - 1] == '(' && FindRelOp(inner).found) {
      std::size_t g = o - 1;
      while (g > 0 && s[g - 1] == '(') --g;
      group_end = MatchingEnd(s, g);
      ConditionAt(s.substr(o, group_end - o + 1), term, depth + 1);
    } else {
      Relation relation;
      if (!EvalRelation(inner, relation)) return false;
      if (!relation.is_relation) {
        const bool close_follows = s.find(')', p + 1) != std::string::npos;
        const std::string& value = relation.value.Text();
        if (!PastesInertly(value, close_follows)) return false;
        s.replace(o, p - o + 1, value);
        from = o;
        continue;
      }
      term = relation.truth;
      group_end = p;
    }
    join.Add(term, result, std::string_view(s).substr(group_end + 1));
    s.erase(o, group_end - o + 1);
    from = o;
  }
}

bool TextEvaluator::EvalRelation(std::string_view text, Relation& relation) {
  RelOpMatch match = FindRelOp(text);
  if (match.found) {
    Value left, right;
    if (Expression(StripBlanks(Trim(text.substr(0, match.position))), left) &&
        Expression(StripBlanks(Trim(text.substr(match.position + 2))), right)) {
      double a, b;
      CompareNumbers(left.Text(), right.Text(), a, b);
      relation.is_relation = true;
      relation.truth = CompareTexts(match.op, left.Text(), right.Text(), a, b);
      return true;
    }
  }
  relation.is_relation = false;
  return Expression(StripBlanks(text), relation.value);
}

}  // namespace orvelle::script
