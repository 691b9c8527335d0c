// One open block or procedure call of a run. The run loop keeps these on an explicit stack, so a
// page may nest as deeply as the nesting limit allows whatever thread runs it.
#pragma once

#include <cstdint>

#include "variable_store.h"

namespace orvelle::script {

// Nested lines (calls, blocks, elseif branches passed) per run; a runaway recursion ends with
// "Stack overflow" at this depth, the point pages have always seen it at.
inline constexpr int kMaxNesting = 4000;

struct RunFrame {
  enum class Kind : unsigned char { kTop, kIfBranch, kElseBranch, kFor, kWhile, kRepeat, kCall };
  Kind kind = Kind::kTop;
  int start = 0;         // the block's line; for a call, the calling line
  int cursor = 0;        // the line last handed out to run
  int depth = 0;         // nesting levels held: the opening line's, plus elseif branches passed
  bool result = false;   // while and repeat: the condition's last value
  bool closing = false;  // else branch: the line being run is the endif that closes it
  bool begun = false;    // call: the body's first line has been handed out
  bool in_pass = false;  // for: a pass is under way
  bool counter_set =
      false;  // for: the counter (its slot) was written this pass, at counter_version
  std::uint64_t counter_version = 0;
  const VariableStore::Slot* counter = nullptr;  // for: the counter's slot, once written
  std::int64_t pass = 1;                         // for: the pass under way, from 1
  std::int64_t count = 0;              // for: the passes after the first that the bounds allow
  std::int32_t current = 0;            // for: this pass's counter value
  std::int32_t bounds[3] = {0, 0, 0};  // for: the bounds count was worked out from
};

}  // namespace orvelle::script
