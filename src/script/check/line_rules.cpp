// Line rules. Each rule reads the line the way the engine does (the same trimming, blank
// stripping, argument splitting and operator search) and names what the engine would silently
// do with it.
#include "script/check/line_rules.h"

#include <algorithm>
#include <array>

#include "script/check/expression_rules.h"
#include "script/keywords.h"
#include "script/text_scan.h"

namespace orvelle::script::check {
namespace {

using Findings = std::vector<std::string>;

bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string_view LeadingWord(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() && IsLetter(text[n])) ++n;
  return text.substr(0, n);
}

std::string Quoted(std::string_view text) {
  return "`" + std::string(text) + "`";
}

// Keywords followed by " (": statements with their argument counts, and conditions.
const Keyword* FindParenKeyword(std::string_view lower_word) {
  const Keyword* keyword = FindKeywordWord(lower_word);
  return keyword && keyword->form == KeywordForm::kParen ? keyword : nullptr;
}

// Keywords that make up a whole line on their own.
bool IsBareKeyword(std::string_view lower_word) {
  const Keyword* keyword = FindKeywordWord(lower_word);
  return keyword && keyword->form == KeywordForm::kBare;
}

// A keyword before "(" written in another case or without exactly one blank: no statement.
bool CheckParenForm(std::string_view t, Findings& out) {
  std::string_view word = LeadingWord(t);
  if (word.empty() || !FindParenKeyword(LowerAscii(word))) return true;
  std::size_t after = word.size();
  std::size_t paren = after;
  while (paren < t.size() && (t[paren] == ' ' || t[paren] == '\t')) ++paren;
  if (paren >= t.size() || t[paren] != '(') return true;
  const std::string lower = LowerAscii(word);
  if (word == lower && t.substr(after, paren - after) == " ") return true;
  out.push_back(Quoted(t.substr(0, paren + 1)) +
                " is no statement, so the line does nothing; write " + Quoted(lower + " (") +
                " (lower case, one blank before the parenthesis)");
  return false;
}

std::string BareSuggestion(std::string_view lower_word, std::string_view t) {
  const std::string rest = LowerAscii(Trim(t.substr(lower_word.size())));
  const std::string_view if_word = KeywordOf(LineKind::kIf).word;
  if (lower_word == KeywordOf(LineKind::kEnd).word && rest == if_word) {
    return std::string(Lead(LineKind::kEndIf));
  }
  if (lower_word == KeywordOf(LineKind::kElse).word && rest.starts_with(if_word)) {
    return std::string(Lead(LineKind::kElseIf));
  }
  return std::string(lower_word);
}

// A block keyword with something after it, or in another case, is no keyword.
bool CheckBareForm(std::string_view t, Findings& out) {
  std::string_view word = LeadingWord(t);
  const std::string lower = LowerAscii(word);
  if (word.empty() || !IsBareKeyword(lower) || t == lower) return true;
  if (t.find('=') != std::string_view::npos) return true;  // an assignment to such a name
  if (word.size() < t.size() && t[word.size()] != ' ' && t[word.size()] != '\t') return true;
  const std::string instead = BareSuggestion(lower, t);
  out.push_back(Quoted(t) + " is no statement and does nothing; write " + Quoted(instead) +
                " alone on its line");
  return false;
}

bool IsProcedureCall(std::string_view t, const ProcedureNames& procedures) {
  const std::string lower = LowerAscii(t);
  return std::find(procedures.begin(), procedures.end(), lower) != procedures.end();
}

// A header is found by its calls only when it stands alone: no blank before, after or inside.
void CheckProcedureHeader(std::string_view line, std::string_view t, Findings& out) {
  const std::string_view prefix = Lead(LineKind::kDefinition);
  const std::string_view name = t.substr(prefix.size());
  if (line == t && !name.empty() && name.front() != ' ') return;
  out.push_back(
      "a procedure header with blanks around it or before its name is never called; "
      "write " +
      Quoted(std::string(prefix) + std::string(Trim(name))) +
      " at the very start of the line, with nothing after it");
}

void CheckArgCount(std::string_view t, const Keyword& keyword, Findings& out) {
  if (keyword.min_args < 0) return;
  const bool is_for = keyword.kind == LineKind::kFor;
  SplitResult split = SplitCall(is_for ? StripBlanks(t) : std::string(t));
  const int n = static_cast<int>(split.args.size());
  if (split.name == keyword.word && n >= keyword.min_args && n <= keyword.max_args) {
    for (const std::string& arg : split.args) CheckExpression(arg, out);
    if (is_for && StripBlanks(split.args[3]) == "0") {
      out.push_back(
          "a for step of 0 stops the page with \"Division by zero\"; use a step of 1 "
          "or -1");
    }
    return;
  }
  const std::string counts =
      keyword.min_args == keyword.max_args
          ? std::to_string(keyword.min_args)
          : std::to_string(keyword.min_args) + " or " + std::to_string(keyword.max_args);
  std::string message = Quoted(keyword.word) + " takes " + counts + " argument" +
                        (keyword.max_args == 1 ? "" : "s") + " and does nothing with " +
                        std::to_string(n);
  if (keyword.kind == LineKind::kEcho) {
    message += "; join texts with &: " + std::string(keyword.lead) + "a & \", \" & b)";
  }
  out.push_back(message);
}

// A line that starts like a statement: its condition or its arguments.
void CheckStatement(std::string_view t, Findings& out) {
  const Keyword* keyword = FindParenKeyword(LeadingWord(t));
  if (keyword->min_args >= 0) {
    CheckArgCount(t, *keyword, out);
  } else if (keyword->condition) {
    CheckCondition(t.substr(keyword->word.size() + 1), out);
  }
}

// A line without "=" that is no statement: only a built-in called for its effect does anything.
void CheckBareLine(std::string_view t, Findings& out) {
  const std::string s = StripBlanks(t);
  SplitResult split = SplitCall(s);
  const bool whole_call = !split.name.empty() && s.back() == ')';
  if (whole_call && IsBuiltinName(split.name)) {
    CheckExpression(t, out);
    return;
  }
  out.push_back(Quoted(t) +
                " is no statement, no assignment and no procedure call, so it does nothing; "
                "check the spelling of the keyword or procedure name");
}

void CheckAssignment(std::string_view t, Findings& out) {
  const std::size_t equals = t.find('=');
  const std::string name = LowerAscii(Trim(t.substr(0, equals)));
  if (name == "q" || name == "po" || name == "pc") {
    out.push_back("the page's HTML is written with q, po and pc; assign another name than " +
                  Quoted(name));
  }
  CheckExpression(t.substr(equals + 1), out);
}

}  // namespace

std::vector<std::string> CheckLine(std::string_view line, const ProcedureNames& procedures) {
  Findings out;
  const std::string_view t = Trim(line);
  if (t.empty() || LineHas(t, LineKind::kComment) || LineHas(t, LineKind::kEnd)) return out;
  const std::string_view until = Lead(LineKind::kUntil);
  if (t.find(until) != std::string_view::npos && !t.starts_with(until)) {
    out.push_back(
        "a line holding `until (` after its start closes a repeat block for the block "
        "check, but only a line beginning with `until (` ends the loop; begin the line "
        "with it");
    return out;
  }
  if (LineHas(t, LineKind::kDefinition)) {
    CheckProcedureHeader(line, t, out);
    return out;
  }
  if (!CheckParenForm(t, out)) return out;
  const std::string_view word = LeadingWord(t);
  if (FindParenKeyword(word) && t.substr(word.size()).starts_with(" (")) {
    CheckStatement(t, out);
    return out;
  }
  if (IsProcedureCall(t, procedures) || !CheckBareForm(t, out) || IsBareKeyword(t)) return out;
  if (t.find('=') == std::string_view::npos) {
    CheckBareLine(t, out);
  } else {
    CheckAssignment(t, out);
  }
  return out;
}

}  // namespace orvelle::script::check
