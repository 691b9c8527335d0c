// A script value while an expression is evaluated: its text, plus what is known of it as a
// number so arithmetic and comparisons need not read the text again.
#pragma once

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

struct Value {
  std::string text;
  mutable NumberInfo number;

  const NumberInfo& Number() const {
    if (!number.known) number = NumberInfo::Of(text);
    return number;
  }
  void SetText(std::string_view t) {
    text.assign(t);
    number.known = false;
  }
  void Clear() {
    text.clear();
    number = NumberInfo{true, false, 0};
  }
};

}  // namespace orvelle::script
