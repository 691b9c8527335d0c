// What one program line is, worked out when the program is compiled: its kind, its
// compiled parts, and the partner lines of its block.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compiled_condition.h"
#include "compiled_expression.h"
#include "errors.h"
#include "keywords.h"
#include "name_table.h"

namespace orvelle::script {

// A scan that would read past the last line: the run ends there as on any read past the end.
inline constexpr int kRunsOffEnd = -2;

// Where the skipped part of a false if (or elseif) ends: at an elseif, at an else, or at its
// endif, on the same level.
struct IfSkip {
  enum class Kind { kElseIf, kElse, kEndIf } kind = Kind::kEndIf;
  int position = kRunsOffEnd;
};

struct LineInfo {
  std::string_view text;  // the trimmed line (points into the program's lines)
  LineKind kind = LineKind::kAssignment;
  int procedure = -1;  // header index for a call (also a blank or closing line named like one)

  // Assignment (and what a blank or closing line does when run as a line).
  std::string target_name;
  std::uint32_t target = kNoSlot;
  CompiledExpr expr;

  // Statements and echo: valid when the name and argument count fit.
  bool valid = false;
  std::vector<CompiledExpr> args;

  // for (var, start, end, step)
  std::string loop_name;
  std::uint32_t loop_slot = kNoSlot;  // kNoSlot: the counter is written by name, as text
  std::uint32_t for_state = 0;        // index of the run's state for this for line

  // The condition of an if, elseif, while or until line.
  std::optional<CompiledCondition> condition;

  // Block partners, found once for the whole program by the same rules the scans follow.
  IfSkip if_skip;              // if and elseif lines
  int pass_end = kRunsOffEnd;  // else and elseif lines: the if's endif, reached from a taken branch
  int wend = kRunsOffEnd;      // while lines: the wend a false condition jumps to
  int procend = -1;            // procedure headers: the first procend from here on; -1: none
};

bool BeginsWith(std::string_view text, std::string_view prefix);

// A partner found at compile time; past the last line the run ends as the scan's read would.
inline int Partner(int position) {
  if (position == kRunsOffEnd) throw EStringListError();
  return position;
}

}  // namespace orvelle::script
