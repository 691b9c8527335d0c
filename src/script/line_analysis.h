// What one program line is, worked out once per run: its statement row, its compiled parts, and
// the closing lines its block scans find.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compiled_condition.h"
#include "compiled_expression.h"
#include "variable_store.h"

namespace orvelle::script {

enum class Row {
  kComment,
  kFor,
  kIf,
  kWhile,
  kRepeat,
  kBreak,
  kExit,
  kCall,
  kDefinition,
  kEcho,
  kOpenPort,
  kInert,
  kSetRts,  // the modem-line statements: arguments are not evaluated
  kClearRts,
  kSetDtr,
  kClearDtr,
  kFlush,
  kWriteFile,
  kDeleteFile,
  kSend,
  kClosePort,
  kAssignment
};

// Where the skipped part of a false if ends: at an elseif, at an else, or at its endif.
struct IfSkip {
  enum class Kind { kElseIf, kElse, kEndIf } kind;
  int position;
  int opened, closed;
};

struct LineInfo {
  std::string_view text;  // the trimmed line (points into the program lines)
  Row row = Row::kAssignment;
  int procedure = -1;  // header index for a call

  // Assignment.
  std::string target_name;
  VariableStore::Slot* target = nullptr;
  CompiledExpr expr;

  // Statements and echo: valid when the name and argument count fit.
  bool valid = false;
  std::vector<CompiledExpr> args;

  // for (var, start, end, step)
  std::string loop_name;
  VariableStore::Slot* loop_slot = nullptr;

  // The condition of an if, elseif, while or until line.
  std::optional<CompiledCondition> condition;

  // Cached scan results (fast mode only).
  std::optional<IfSkip> if_skip;
  std::optional<int> pass_end;  // endif reached when passing from this else/elseif line
  std::optional<int> wend;      // the wend a false while jumps to
  std::optional<int> procend;   // -1: no procend after this header

  Value scratch;
  std::unique_ptr<std::array<Value, 3>> bound_values;  // a for line's start, end and step
  // A for bound converted earlier: still right while its variable's version is unchanged.
  struct BoundCache {
    bool valid = false;
    std::uint64_t version = 0;
    std::int32_t value = 0;
  };
  std::array<BoundCache, 3> bound_cache;
};

bool BeginsWith(std::string_view text, std::string_view prefix);

}  // namespace orvelle::script
