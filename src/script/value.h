// A script value: a text, a number, or both, each made only when something asks for it. A whole
// number from arithmetic or a loop counter is kept as a number; its text (the plain digits that
// NumberText gives) is written out the first time it is read as text.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "numbers.h"

namespace orvelle::script {

// What NumberValue and IsNumber say of a text, remembered.
struct NumberInfo {
  bool known = false;
  bool is_number = false;  // IsNumber(text)
  double value = 0;        // NumberValue(text)

  static NumberInfo Of(std::string_view text) {
    bool complete = false;
    double v = ParseNumber(text, complete);
    bool edges_clean = !text.empty() && static_cast<unsigned char>(text.front()) > 32 &&
                       static_cast<unsigned char>(text.back()) > 32;
    return {true, edges_clean ? complete : IsNumber(text), v};
  }
  static NumberInfo Exact(double v) { return {true, true, v}; }
};

// Whole numbers below this are written as plain digits, so such a number alone fixes its text.
inline constexpr long double kPlainIntegerLimit = 1e15L;

inline bool IsPlainInteger(double x) {
  constexpr auto kLimit = static_cast<double>(kPlainIntegerLimit);
  return x > -kLimit && x < kLimit && x == static_cast<double>(static_cast<std::int64_t>(x));
}

class Value {
 public:
  Value() = default;
  Value(const Value& other) { *this = other; }
  Value(Value&&) noexcept = default;
  Value& operator=(Value&&) noexcept = default;
  // Copies only a text that is there, keeping this value's buffer for reuse.
  Value& operator=(const Value& other) {
    if (this == &other) return *this;
    if (other.has_text_) text_.assign(other.text_);
    has_text_ = other.has_text_;
    integer_text_ = other.integer_text_;
    number_ = other.number_;
    return *this;
  }

  // The text, written out from the number when only the number was kept.
  const std::string& Text() const {
    if (!has_text_) WriteDigits();
    return text_;
  }
  const NumberInfo& Number() const {
    if (!number_.known) number_ = NumberInfo::Of(text_);
    return number_;
  }
  // Empty text means "no value"; a kept number always has digits.
  bool Empty() const { return has_text_ && text_.empty(); }
  // True when the text is known to be the plain digits of Number().value.
  bool IsInteger() const { return !has_text_ || integer_text_; }

  void SetText(std::string_view t) {
    text_.assign(t);
    has_text_ = true;
    integer_text_ = false;
    number_.known = false;
  }
  // A whole number below kPlainIntegerLimit; its text waits until asked for.
  void SetInteger(double v) {
    number_ = NumberInfo::Exact(v == 0 ? 0.0 : v);  // -0 prints as "0" and reads back as 0
    has_text_ = false;
    integer_text_ = true;
  }
  void Clear() {
    text_.clear();
    has_text_ = true;
    integer_text_ = false;
    number_ = NumberInfo{true, false, 0};
  }
  // The emptied text buffer, for writing a text whose number is read back from it.
  std::string& TextForWriting() {
    text_.clear();
    has_text_ = true;
    integer_text_ = false;
    number_.known = false;
    return text_;
  }
  // Takes a finished text (a built-in's result) without copying it.
  void AdoptText(std::string&& t) {
    text_ = std::move(t);
    has_text_ = true;
    integer_text_ = false;
    number_.known = false;
  }
  // Appends text; what was known of the number no longer holds.
  void Append(std::string_view t) {
    if (!has_text_) WriteDigits();
    text_.append(t);
    integer_text_ = false;
    number_.known = false;
  }
  // Hands the text over, leaving the value empty.
  std::string TakeText() {
    if (!has_text_) WriteDigits();
    std::string out = std::move(text_);
    Clear();
    return out;
  }
  // Takes other's value; other is left with this one's old buffer (a scratch value keeps its
  // capacity that way). A kept number moves without touching either text.
  void TakeFrom(Value& other) {
    if (other.has_text_) {
      // A short text sits inside the string itself, where copying beats swapping.
      if (other.text_.size() < kSwapWorthwhile) {
        text_.assign(other.text_);
      } else {
        text_.swap(other.text_);
      }
    }
    has_text_ = other.has_text_;
    integer_text_ = other.integer_text_;
    number_ = other.number_;
  }

 private:
  void WriteDigits() const {
    text_.clear();
    AppendInteger(text_, static_cast<std::int64_t>(number_.value));
    has_text_ = true;
  }

  static constexpr std::size_t kSwapWorthwhile = 16;  // beyond the string's inline buffer

  mutable std::string text_;
  mutable bool has_text_ = true;
  bool integer_text_ = false;  // the text (made or to be made) is the digits of number_.value
  mutable NumberInfo number_;
};

// Two whole numbers kept as numbers (so both below kPlainIntegerLimit) add and subtract exactly
// in a double; the result is kept as one too while it stays below the limit. The same result as
// the general arithmetic, without looking at the operands' fractions or ranges.
inline bool SumOfKept(const Value& left, const Value& right, char op, double& r) {
  if (!left.IsInteger() || !right.IsInteger()) return false;
  const double a = left.Number().value, b = right.Number().value;
  r = op == '+' ? a + b : a - b;
  constexpr auto kLimit = static_cast<double>(kPlainIntegerLimit);
  return r > -kLimit && r < kLimit;
}

}  // namespace orvelle::script
