// Expression and condition rules. Parentheses are found the way the engine finds them, quotes
// playing no part, so a parenthesis in a literal is reported before anything else is looked at.
#include "script/check/expression_rules.h"

#include <optional>

#include "script/builtins.h"
#include "script/text_scan.h"

namespace orvelle::script::check {
namespace {

using Findings = std::vector<std::string>;

constexpr std::size_t kMaxBuiltinArgs = 6;  // more than any built-in takes
constexpr std::string_view kWholeCallOnly[] = {"receive(", "readfile(", "query("};

std::string Quoted(std::string_view text) {
  return "`" + std::string(text) + "`";
}

// Reports a quote left open or a parenthesis inside a literal; false when one was found.
bool CheckLiterals(std::string_view s, Findings& out) {
  bool in_quote = false;
  for (char c : s) {
    if (c == '"') in_quote = !in_quote;
    if (!in_quote || (c != '(' && c != ')')) continue;
    out.push_back(std::string("a text literal holding \"") + c +
                  "\" is taken for a group and breaks the expression; write " +
                  (c == '(' ? "po" : "pc") + " outside the quotes: \"a\" & " +
                  (c == '(' ? "po" : "pc") + " & \"b\"");
    return false;
  }
  if (!in_quote) return true;
  out.push_back("a text literal is not closed; a double quote inside text comes from q");
  return false;
}

// The position of the ")" that closes the "(" at `open`, or npos.
std::size_t MatchingClose(std::string_view s, std::size_t open) {
  int depth = 0;
  for (std::size_t i = open; i < s.size(); ++i) {
    if (s[i] == '(') ++depth;
    if (s[i] == ')' && --depth == 0) return i;
  }
  return std::string_view::npos;
}

// The name the engine collects backwards from the character before a call's "(".
std::string_view CallName(std::string_view s, std::size_t open) {
  std::size_t start = open - 1;
  while (start > 0 && !IsNameStop(s[start - 1])) --start;
  return s.substr(start, open - start);
}

std::optional<std::size_t> BuiltinArgCount(std::string_view name) {
  for (std::size_t n = 0; n <= kMaxBuiltinArgs; ++n) {
    if (FindBuiltin(name, n)) return n;
  }
  return std::nullopt;
}

void CheckCall(std::string_view s, std::size_t open, Findings& out) {
  const std::string_view name = CallName(s, open);
  const std::optional<std::size_t> wanted = BuiltinArgCount(name);
  if (!wanted) {
    std::string message =
        Quoted(std::string(name) + "(") + " calls no built-in function, so the expression fails";
    if (name.ends_with(',')) message += "; a group right after a comma is taken for a call";
    out.push_back(message + "; check the name, or assign the group's value to a variable first");
    return;
  }
  const std::size_t close = MatchingClose(s, open);
  if (close == std::string_view::npos) return;
  const std::string call = std::string(name) + std::string(s.substr(open, close - open + 1));
  const std::size_t given = SplitCall(call).args.size();
  if (given == *wanted) return;
  out.push_back(Quoted(name) + " takes " + std::to_string(*wanted) + " argument" +
                (*wanted == 1 ? "" : "s") + ", not " + std::to_string(given) +
                ", so the expression fails");
}

void CheckCalls(std::string_view s, Findings& out) {
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (s[i] == '(' && !IsSubExprMark(s[i - 1])) CheckCall(s, i, out);
  }
}

void CheckParentheses(std::string_view s, Findings& out) {
  int depth = 0;
  for (char c : s) {
    depth += c == '(' ? 1 : c == ')' ? -1 : 0;
    if (depth >= 0) continue;
    out.push_back("a \")\" without a \"(\" before it makes the expression fail");
    return;
  }
}

void CheckOperators(std::string_view s, Findings& out) {
  bool in_quote = false;
  for (char c : s) {
    if (c == '"') in_quote = !in_quote;
    if (in_quote || (c != '%' && c != '\\' && c != '^')) continue;
    out.push_back(Quoted(std::string(1, c)) +
                  " is no operator: the step leaves the value as it was; use pow (a, b) for "
                  "powers");
    return;
  }
}

// No precedence: a "*" after a "+" in one group, or arithmetic after "&", is worked out from
// the left, which is rarely what the writer meant.
class OrderWalk {
 public:
  std::optional<std::string> Step(std::string_view s, std::size_t i) {
    const char c = s[i];
    if (c == '(') levels_.push_back({});
    if (c == ')' && levels_.size() > 1) levels_.pop_back();
    if (!IsOperatorChar(c)) return std::nullopt;
    Level& level = levels_.back();
    const bool binary = i > 0 && !IsOperatorChar(s[i - 1]) && s[i - 1] != '(';
    const bool arithmetic = c == '+' || c == '-' || c == '*' || c == '/';
    if (binary && arithmetic && level.joined) {
      return "arithmetic after & is worked out on the text built so far (\"total \" & 2 + 3 "
             "gives 3); put the arithmetic in parentheses or in a variable";
    }
    if ((c == '*' || c == '/') && level.added) {
      return "there is no precedence: 1 + 2 * 3 is (1 + 2) * 3; put parentheses around what "
             "must come first";
    }
    level.added = level.added || (binary && (c == '+' || c == '-'));
    level.joined = level.joined || c == '&';
    return std::nullopt;
  }

 private:
  struct Level {
    bool added = false;   // a binary + or - stands before
    bool joined = false;  // an & stands before
  };
  std::vector<Level> levels_{Level{}};
};

void CheckOrder(std::string_view s, Findings& out) {
  OrderWalk walk;
  bool in_quote = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '"') in_quote = !in_quote;
    if (in_quote) continue;
    if (auto message = walk.Step(s, i)) {
      out.push_back(*message);
      return;
    }
  }
}

// receive(), readfile() and query() hand back any text; put into a longer expression, a quote or
// parenthesis in it makes the expression fail.
void CheckWholeCalls(std::string_view s, Findings& out) {
  for (std::string_view call : kWholeCallOnly) {
    const std::size_t at = s.find(call);
    if (at == std::string_view::npos) continue;
    const bool whole = at == 0 && MatchingClose(s, call.size() - 1) == s.size() - 1;
    if (whole) continue;
    const std::string name(call.substr(0, call.size() - 1));
    out.push_back(Quoted(name + "()") +
                  " inside a longer expression fails when its text holds a quote or a "
                  "parenthesis; assign it alone first (v = " +
                  name + "(...)) and use v");
    return;
  }
}

// Innermost groups of a condition: relations written with one character, connectors inside.
void CheckRelation(std::string_view inner, Findings& out) {
  const RelOpMatch match = FindRelOp(inner);
  if (match.found) {
    if (inner.find("&&") != std::string_view::npos || inner.find("||") != std::string_view::npos) {
      out.push_back(Quoted("(" + std::string(inner) + ")") +
                    " is one relation: a connector inside one pair of parentheses joins "
                    "nothing; write each relation in its own: (a==1) && (b==2)");
    }
    return;
  }
  if (inner.find_first_of("=<>!") == std::string_view::npos) return;
  out.push_back(Quoted("(" + std::string(inner) + ")") +
                " compares nothing, so the condition is never true: relations have two "
                "characters; write ==, <>, >>, <<, >= or <=");
}

// Walks the groups; returns the text outside every group, where only connectors belong.
std::string CheckGroups(std::string_view s, Findings& out) {
  std::vector<std::size_t> opens;
  std::vector<bool> has_inner;
  std::string outside;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '(') {
      if (!has_inner.empty()) has_inner.back() = true;
      opens.push_back(i);
      has_inner.push_back(false);
    } else if (s[i] == ')' && !opens.empty()) {
      if (!has_inner.back()) CheckRelation(s.substr(opens.back() + 1, i - opens.back() - 1), out);
      opens.pop_back();
      has_inner.pop_back();
    } else if (opens.empty()) {
      outside += s[i];
    }
  }
  return outside;
}

void CheckConnectors(std::string_view outside, Findings& out) {
  const bool has_and = outside.find("&&") != std::string_view::npos;
  const bool has_or = outside.find("||") != std::string_view::npos;
  if (has_and && has_or) {
    out.push_back(
        "only the first connector counts and joins every relation; nest "
        "parentheses to mix && and ||: ((a==1) && (b==2)) || (c==3)");
  }
  if (outside.find_first_not_of("&|") == std::string_view::npos) return;
  out.push_back(
      "text outside the parentheses of a condition is never looked at; write each "
      "relation in parentheses, joined by && or ||");
}

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A group's value is glued to a name written before it, so a call is never made.
void CheckConditionCalls(std::string_view s, Findings& out) {
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (s[i] != '(' || !IsNameChar(s[i - 1])) continue;
    out.push_back(Quoted(std::string(CallName(s, i)) + "(") +
                  " inside a condition is not called: its parentheses are taken as a group; "
                  "assign the result first (n = len(s)) and compare the variable");
    return;
  }
}

}  // namespace

bool IsBuiltinName(std::string_view name) {
  return BuiltinArgCount(name).has_value();
}

void CheckExpression(std::string_view text, std::vector<std::string>& out) {
  const std::string s = StripBlanks(text);
  if (!CheckLiterals(s, out)) return;
  CheckParentheses(s, out);
  CheckCalls(s, out);
  CheckOperators(s, out);
  CheckOrder(s, out);
  CheckWholeCalls(s, out);
}

void CheckCondition(std::string_view condition, std::vector<std::string>& out) {
  const std::string s = StripBlanks(condition);
  if (!CheckLiterals(s, out)) return;
  const std::size_t before = out.size();
  CheckParentheses(s, out);
  CheckConditionCalls(s, out);
  if (out.size() > before) return;
  CheckConnectors(CheckGroups(s, out), out);
  if (out.size() == before && !FindRelOp(s).found) {
    out.push_back(
        "the condition holds no relation, so it is never true; compare with ==, <>, "
        ">>, <<, >= or <=");
  }
}

}  // namespace orvelle::script::check
