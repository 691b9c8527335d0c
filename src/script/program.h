// Program: a script compiled once (lines classified, expressions and conditions compiled, block
// partners found, blocks checked) and never changed after. It holds no variables, so every run of
// a page can share one; a run (ScriptRun) keeps its own state beside it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "line_analysis.h"
#include "name_table.h"

namespace orvelle::script {

// kFast evaluates expressions from a compiled form wherever that gives the same bytes; kPlain
// evaluates every expression and condition from its text, as the language is defined.
enum class EvalMode { kFast, kPlain };

class Program {
 public:
  // Compiles script lines (what a page translates into).
  static std::shared_ptr<const Program> Compile(std::vector<std::string> lines,
                                                EvalMode mode = EvalMode::kFast);

  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Lines are numbered from the "begin" line the script is wrapped in (0) to its "end" line.
  int LineCount() const { return static_cast<int>(lines_.size()); }
  // The trimmed line k; throws EStringListError out of range, as a read past the end does.
  std::string_view Text(int k) const {
    if (k < 0 || k >= LineCount()) ThrowPastEnd();
    return info_[static_cast<std::size_t>(k)].text;
  }
  const LineInfo& Line(int k) const { return info_[static_cast<std::size_t>(k)]; }
  // Line k; throws EStringListError out of range, as a read past the end does.
  const LineInfo& At(int k) const {
    if (k < 0 || k >= LineCount()) ThrowPastEnd();
    return info_[static_cast<std::size_t>(k)];
  }

  const NameTable& Names() const { return names_; }
  std::uint32_t OperandStates() const { return operand_states_; }
  std::uint32_t ForLines() const { return for_lines_; }
  EvalMode Mode() const { return mode_; }
  // The block check's message: not empty when the blocks do not pair up and nothing may run.
  const std::string& BlockError() const { return block_error_; }
  // The script lines as compiled, without the begin and end lines.
  std::vector<std::string> ScriptLines() const;

 private:
  Program() = default;
  [[noreturn]] static void ThrowPastEnd();
  void FindProcedureHeaders();
  void CompileLines();
  int ProcedureHeader(std::string_view line) const;
  void Analyse(LineInfo& info, CompileContext& context);

  std::vector<std::string> lines_;  // "begin", the script, "end"; never changed once compiled
  std::vector<LineInfo> info_;
  NameTable names_;
  std::unordered_map<std::string, int> procedure_headers_;  // lower-cased line -> first index
  std::uint32_t operand_states_ = 0;
  std::uint32_t for_lines_ = 0;
  EvalMode mode_ = EvalMode::kFast;
  std::string block_error_;
};

// Fills in the block partners of every line from the lines' texts (block_partners.cpp).
void FindBlockPartners(std::vector<LineInfo>& lines);

}  // namespace orvelle::script
