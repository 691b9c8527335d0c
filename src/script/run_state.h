// What one run keeps for the compiled parts of the program it runs. A program holds none of this,
// so any number of runs can share it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "value.h"
#include "variable_store.h"

namespace orvelle::script {

// The latest evaluation of one call or group of a compiled expression.
struct OperandState {
  std::uint64_t epoch = 0;
  Value result;     // the value the spliced text reads as
  std::string raw;  // the text spliced in (a call's text result without quotes)
  bool raw_quoted = false;
  std::array<std::string, 3> arg_texts;  // a call's evaluated arguments
  Value arg_scratch;
  std::array<Value, 3> arg_values;  // folded arguments of a call that reads values in place
  const VariableStore::Slot* result_slot = nullptr;  // a group naming a variable
  bool raw_is_result = false;                        // raw not written: it is result's text
};

// A for line's bounds: their last values, and conversions still right while unchanged.
struct ForState {
  struct BoundCache {
    bool valid = false;
    std::uint64_t version = 0;
    std::int32_t value = 0;
  };
  std::array<Value, 3> values;
  std::array<BoundCache, 3> cache;
};

}  // namespace orvelle::script
