// Scanners that work on a line's text exactly as the language defines them.
#include "text_scan.h"

#include "numbers.h"

namespace orvelle::script {

std::string StripBlanks(std::string_view text) {
  text = Trim(text);
  std::string out;
  out.reserve(text.size());
  bool in_quote = false;
  for (char c : text) {
    if (c == '"') in_quote = !in_quote;
    if (c == ' ' && !in_quote) continue;
    out += c;
  }
  return out;
}

namespace {

// One backward scan of SplitCall over rest[0, e): returns the split position or npos.
std::size_t ScanForSplit(std::string_view rest, std::size_t e, bool& in_quote) {
  int opened = 0, closed = 0;
  for (std::size_t i = e; i-- > 0;) {
    char c = rest[i];
    if (c == '"') in_quote = !in_quote;
    if (in_quote) continue;
    if (c == '(') ++opened;
    if (c == ')') ++closed;
    if ((c == ',' || i == 0) && opened == closed) return i;
  }
  return std::string_view::npos;
}

}  // namespace

SplitResult SplitCall(std::string_view text) {
  SplitResult result;
  std::size_t open = text.find('(');
  if (open == std::string_view::npos) return result;
  result.name = std::string(Trim(text.substr(0, open)));
  std::string_view rest = Trim(text.substr(open + 1));
  std::size_t e = rest.rfind(')');
  if (e == std::string_view::npos) return result;
  bool in_quote = false;
  std::vector<std::string> reversed;
  while (e > 0) {
    std::size_t i = ScanForSplit(rest, e, in_quote);
    if (i == std::string_view::npos) break;
    if (i == 0) {
      reversed.emplace_back(Trim(rest.substr(0, e)));
      rest = {};
    } else {
      reversed.emplace_back(Trim(rest.substr(i + 1, e - i - 1)));
      rest = rest.substr(0, i + 1);
    }
    std::size_t comma = rest.rfind(',');
    e = comma == std::string_view::npos ? 0 : comma;
  }
  result.args.assign(reversed.rbegin(), reversed.rend());
  return result;
}

RelOpMatch FindRelOp(std::string_view text) {
  static constexpr std::string_view kOps[] = {"==", ">>", "<<", ">=", "<=", "<>"};
  for (int k = 0; k < 6; ++k) {
    std::size_t at = text.find(kOps[k]);
    if (at != std::string_view::npos) return {true, static_cast<RelOp>(k), at};
  }
  return {};
}

namespace {
double CharacterSum(std::string_view text) {
  double sum = 0;
  for (char c : text) sum += static_cast<unsigned char>(c);
  return sum;
}
}  // namespace

void CompareNumbers(std::string_view left, std::string_view right, double& a, double& b) {
  if (IsNumber(left) && IsNumber(right)) {
    a = NumberValue(left);
    b = NumberValue(right);
  } else {
    a = CharacterSum(left);
    b = CharacterSum(right);
  }
}

bool CompareTexts(RelOp op, std::string_view left, std::string_view right, double a, double b) {
  switch (op) {
    case RelOp::kEqual:
      return left == right;
    case RelOp::kNotEqual:
      return left != right;
    case RelOp::kGreater:
      return a > b;
    case RelOp::kLess:
      return a < b;
    case RelOp::kGreaterEqual:
      return left == right || a > b;
    case RelOp::kLessEqual:
      return left == right || a < b;
  }
  return false;
}

}  // namespace orvelle::script
