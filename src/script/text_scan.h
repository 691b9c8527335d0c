// Character classes and the text scanners of the language: trimming, blank stripping, argument
// splitting, relation operators and the two orderings of comparisons.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/ascii_text.h"

namespace orvelle::script {

inline bool IsOperatorChar(char c) {
  return c == '%' || c == '&' || c == '*' || c == '+' || c == '-' || c == '/' || c == '\\' ||
         c == '^';
}
// A "(" directly after one of these (or at the start) opens a plain group.
inline bool IsSubExprMark(char c) {
  return c == ' ' || c == '(' || c == ')' || IsOperatorChar(c);
}
// These end a function name collected backwards.
inline bool IsNameStop(char c) {
  return IsSubExprMark(c) || c == ',';
}
inline bool IsControlOrBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

// Whether a value's text can be put back into the text of an expression or condition without
// changing how the rest is read: a double quote would end or open a literal, a ")" would close a
// group, and a "(" would open one whenever a ")" still follows (close_follows). Text that fails
// this makes the evaluation fail, so nothing that came from a value ever runs as code.
inline bool PastesInertly(std::string_view value, bool close_follows) {
  const std::string_view breakers = close_follows ? "\"()" : "\")";
  return value.find_first_of(breakers) == std::string_view::npos;
}

// Removes leading and trailing characters of code 32 or less.
inline std::string_view Trim(std::string_view text) {
  return base::TrimBlanksAndControls(text);
}
// Trims, then deletes every blank that stands outside double quotes.
std::string StripBlanks(std::string_view text);

struct SplitResult {
  std::string name;
  std::vector<std::string> args;
};
// Splits `name(arg, arg, ...)` at top-level commas outside quotes.
SplitResult SplitCall(std::string_view text);

// Relation operators in the order they are searched.
enum class RelOp { kEqual, kGreater, kLess, kGreaterEqual, kLessEqual, kNotEqual };
struct RelOpMatch {
  bool found = false;
  RelOp op = RelOp::kEqual;
  std::size_t position = 0;  // 0-based index of the operator's first character
};
RelOpMatch FindRelOp(std::string_view text);

// The two sides as numbers, or as the sums of their character codes when either is no number.
void CompareNumbers(std::string_view left, std::string_view right, double& a, double& b);
bool CompareTexts(RelOp op, std::string_view left, std::string_view right, double a, double b);

// ASCII lower case, for case-insensitive names.
inline std::string LowerAscii(std::string_view text) {
  return base::AsciiLower(text);
}

}  // namespace orvelle::script
