// ScriptRun: the interpreter of the script language. One instance runs one compiled program for
// one request: the host creates it on the program, seeds variables, calls Run, and frees it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "builtins.h"
#include "errors.h"
#include "explain.h"
#include "host.h"
#include "program.h"
#include "run_frame.h"
#include "run_state.h"
#include "text_evaluator.h"
#include "value.h"
#include "variable_store.h"

namespace orvelle::script {

// Bounds on one run: a stop token that ends it before its next line (the abort page and closing
// the window request it), and a largest number of executed lines (0: no bound).
struct RunLimits {
  std::stop_token stop;
  std::uint64_t max_lines = 0;
  Explainer* explain = nullptr;  // none: failures stay silent, as the language defines
};

class ScriptRun {
 public:
  using Mode = EvalMode;

  // A run of the given program, which any number of runs may share.
  ScriptRun(ScriptHost& host, std::shared_ptr<const Program> program, RunLimits limits = {});
  ~ScriptRun();
  ScriptRun(const ScriptRun&) = delete;
  ScriptRun& operator=(const ScriptRun&) = delete;

  // Ends the run before its next line; safe from any thread.
  void Abort() { abort_.store(true, std::memory_order_relaxed); }
  // True when the run ended at the bound on executed lines.
  bool LineLimitReached() const { return line_limit_reached_; }
  // The host's way to set a variable. A bracketed name has its indices checked and is not kept:
  // nothing in the language reads it.
  void SetVar(std::string_view name, std::string_view value);
  std::string GetVar(std::string_view name) const { return std::string(variables_.Read(name)); }
  const VariableStore& Variables() const { return variables_; }
  const std::string& LastError() const { return last_error_; }
  const Program& GetProgram() const { return *program_; }
  Explainer* GetExplainer() const { return limits_.explain; }

  // Runs the program; throws EScriptError or EStringListError when the run ends on an error.
  void Run();

  void ReportError(std::string_view message);
  void ClearError();

  // The text evaluator, which the compiled forms fall back to.
  TextEvaluator& Text() { return text_; }
  // Runs a selected built-in on evaluated arguments: ClearError, the work, its message.
  BuiltinValue CallBuiltin(const BuiltinEntry& entry, std::span<const std::string> args,
                           bool& call_failed);
  // The same through the entry's on_values work (which must be set).
  BuiltinValue CallBuiltinOnValues(const BuiltinEntry& entry, std::span<const Value* const> args,
                                   bool& call_failed);

  VariableStore& Store() { return variables_; }
  ScriptHost& Host() { return *host_; }
  std::uint64_t NextEpoch() { return ++epoch_; }
  // Why the expression being evaluated fails, kept only while someone is told (explain.cpp).
  void NoteCall(std::string_view name, std::size_t arg_count);
  void NoteArithmetic(char op, const Value& right);
  // The run's state for a compiled call or group.
  OperandState& OperandStateAt(std::uint32_t index) { return operand_states_[index]; }

 private:
  // ClearError and the message of a built-in's work; the value it hands back.
  void FinishBuiltin(BuiltinEnv& env, BuiltinValue& value, bool& call_failed);
  const LineInfo& Info(int k) const { return program_->Line(k); }
  const LineInfo& At(int k) const { return program_->At(k); }
  bool Stopped() const {
    return abort_.load(std::memory_order_relaxed) || limits_.stop.stop_requested();
  }
  void LineLimit();

  // The run loop (run_loop.cpp): the next line to run, from the frame on top.
  int NextLine();
  int NextInFrame(RunFrame& frame);
  int NextAtTop(RunFrame& frame);
  int NextInIf(RunFrame& frame);
  int NextInElse(RunFrame& frame);
  int NextInFor(RunFrame& frame);
  int NextInWhile(RunFrame& frame);
  int NextInRepeat(RunFrame& frame);
  int NextInCall(RunFrame& frame);
  RunFrame& Push(RunFrame::Kind kind, int start, int cursor, int depth);
  int Pop(int caller_cursor);
  void ExecLine(int k);
  void Dispatch(int k);
  void DispatchSimple(int k, const LineInfo& info);

  // Tells the explainer, if any, why line k did nothing.
  void ExplainFailure(int k);
  int Cursor() const { return frames_.back().cursor; }
  void ExecAssignment(const LineInfo& info);
  bool ExecAssignmentInPlace(const LineInfo& info);
  bool AssignDirectCall(const LineInfo& info, VariableStore::Slot& target);
  void EnterIf(int k);
  void EnterWhile(int k);
  bool BeginPass(RunFrame& frame);
  void SetCounter(RunFrame& frame);
  void SetLoopVariable(const LineInfo& info, std::int32_t value);
  bool EvalLoopBounds(const LineInfo& info, std::int32_t (&bounds)[3]);
  void Call(int k, int header);
  void SkipDefinition(const LineInfo& info);
  void ExecPlainLine(int k, const LineInfo& info);
  void ExecEcho(const LineInfo& info);
  void ExecStatement(const LineInfo& info);

  bool ConditionOf(int k, bool& result);

  ScriptHost* host_;
  RunLimits limits_;
  std::atomic<bool> abort_{false};
  std::uint64_t lines_run_ = 0;
  bool line_limit_reached_ = false;
  std::shared_ptr<const Program> program_;
  VariableStore variables_;
  std::vector<RunFrame> frames_;  // the top level first, the innermost block or call last
  int depth_ = 0;                 // nesting levels the frames hold
  bool break_ = false;
  bool exit_ = false;
  std::int64_t counter_frequency_;
  std::string last_error_;
  VariableStore::Slot* error_slot_;
  std::vector<OperandState> operand_states_;
  std::vector<ForState> for_states_;
  Value assign_scratch_;  // an assignment's value; its text buffer is reused from line to line
  std::uint64_t epoch_ = 0;
  std::string why_;  // the reason noted for the failure under way
  TextEvaluator text_{*this};
};

}  // namespace orvelle::script
