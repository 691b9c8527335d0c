// TExecute: the interpreter of the script language. One instance runs one compiled program for
// one request: the host creates it on the program, seeds variables, calls Run, and frees it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "builtins.h"
#include "errors.h"
#include "host.h"
#include "program.h"
#include "run_state.h"
#include "value.h"
#include "variable_store.h"

namespace orvelle::script {

// Bounds on one run: a stop token that ends it before its next line (the abort page and closing
// the window request it), and a largest number of executed lines (0: no bound).
struct RunLimits {
  std::stop_token stop;
  std::uint64_t max_lines = 0;
};

class TExecute {
 public:
  using Mode = EvalMode;

  // An engine for the given program.
  TExecute(ScriptHost& host, std::shared_ptr<const Program> program, RunLimits limits = {});
  // An engine whose program comes with Run(lines), compiled in `mode`.
  explicit TExecute(ScriptHost& host, Mode mode = Mode::kFast, RunLimits limits = {});
  ~TExecute();
  TExecute(const TExecute&) = delete;
  TExecute& operator=(const TExecute&) = delete;

  // Ends the run before its next line; safe from any thread.
  void Abort() { abort_.store(true, std::memory_order_relaxed); }
  // True when the run ended at the bound on executed lines.
  bool LineLimitReached() const { return line_limit_reached_; }
  // The host's way to set a variable (bracketed names go to the array store).
  void SetVar(std::string_view name, std::string_view value);
  std::string GetVar(std::string_view name) const { return std::string(variables_.Read(name)); }
  const VariableStore& Variables() const { return variables_; }
  const std::map<std::string, std::string>& Arrays() const { return arrays_; }
  const std::string& LastError() const { return last_error_; }

  // Runs the program; throws EScriptError or EStringListError when the run ends on an error.
  void Run();
  // Compiles the lines in the engine's mode and runs them, keeping the variables set so far.
  void Run(const std::vector<std::string>& lines);

  void ReportError(std::string_view message);
  void ClearError();

  // Expression evaluation on text.
  bool EvalExpr(std::string_view text, Value& result);
  // Continues EvalExpr on a text whose blanks are already stripped.
  bool EvalExprStripped(std::string text, Value& result);
  bool EvalFlat(std::string_view text, Value& result);
  enum class OperandResult { kFound, kNotFound, kOverflow };
  OperandResult EvalOperand(std::string_view token, Value& value);
  bool EvalBuiltin(std::string_view call_text, BuiltinValue& result);
  // Runs a selected built-in on evaluated arguments: ClearError, the work, its message.
  BuiltinValue CallBuiltin(const BuiltinEntry& entry, std::span<const std::string> args,
                           bool& call_failed);
  // The same through the entry's on_values work (which must be set).
  BuiltinValue CallBuiltinOnValues(const BuiltinEntry& entry, std::span<const Value* const> args,
                                   bool& call_failed);

  // Conditions on text.
  bool EvalCondition(std::string_view text, bool& result);
  struct Relation {
    bool is_relation = false;
    bool truth = false;
    Value value;
  };
  bool EvalRelation(std::string_view text, Relation& relation);

  VariableStore& Store() { return variables_; }
  ScriptHost& Host() { return *host_; }
  std::uint64_t NextEpoch() { return ++epoch_; }
  // The run's state for a compiled call or group.
  OperandState& OperandStateAt(std::uint32_t index) { return operand_states_[index]; }

 private:
  // ClearError and the message of a built-in's work; the value it hands back.
  void FinishBuiltin(BuiltinEnv& env, BuiltinValue& value, bool& call_failed);
  void Adopt(std::shared_ptr<const Program> program);
  void RunLoop();
  std::string_view ReadLine(int k) const { return program_->Text(k); }
  const LineInfo& Info(int k) const { return program_->Line(k); }
  bool Stopped() const {
    return abort_.load(std::memory_order_relaxed) || limits_.stop.stop_requested();
  }
  void CountLine();
  void ExecLineAt(int k, int& pc);
  void Dispatch(const LineInfo& info, int& pc);

  void ExecAssignment(const LineInfo& info);
  void ExecIf(int k, int& pc);
  void ExecFor(const LineInfo& info, int& pc);
  void ExecWhile(const LineInfo& info, int& pc);
  void SetLoopVariable(const LineInfo& info, std::int32_t value);
  bool EvalLoopBounds(const LineInfo& info, std::int32_t (&bounds)[3]);
  void ExecRepeat(int& pc);
  void CallProc(int header);
  void SkipDefinition(const LineInfo& info, int& pc);
  void ExecEcho(const LineInfo& info);
  void ExecStatement(const LineInfo& info);

  bool EvalConditionAt(std::string_view text, bool& result, int depth);
  bool ConditionOf(int k, bool& result);

  ScriptHost* host_;
  Mode mode_;
  RunLimits limits_;
  std::atomic<bool> abort_{false};
  std::uint64_t lines_run_ = 0;
  bool line_limit_reached_ = false;
  std::shared_ptr<const Program> program_;
  VariableStore variables_;
  std::map<std::string, std::string> arrays_;
  int pc_ = 0;
  bool break_ = false;
  bool exit_ = false;
  std::int64_t counter_frequency_;
  std::string last_error_;
  VariableStore::Slot* error_slot_;
  std::vector<OperandState> operand_states_;
  std::vector<ForState> for_states_;
  Value assign_scratch_;  // an assignment's value; its text buffer is reused from line to line
  int nesting_ = 0;
  std::uint64_t epoch_ = 0;
};

}  // namespace orvelle::script
