// Counts how deeply lines, procedure calls and elseif chains nest, and ends the run with
// "Stack overflow" at a fixed depth instead of exhausting the thread's stack.
#pragma once

#include "errors.h"

namespace orvelle::script {

constexpr int kMaxNesting = 4000;  // nested lines (calls, blocks, elseifs) per run

// Guards one level of nesting; past the limit the run ends with "Stack overflow".
class NestingGuard {
 public:
  explicit NestingGuard(int& depth) : depth_(depth) {
    if (++depth_ > kMaxNesting) {
      --depth_;
      throw EScriptError("Stack overflow");
    }
  }
  ~NestingGuard() { --depth_; }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;

 private:
  int& depth_;
};

}  // namespace orvelle::script
