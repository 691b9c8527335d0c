// TExecute: the interpreter of the script language. One instance runs one page for one request:
// the host creates it, seeds variables, calls Run with the translated lines, and frees it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "builtins.h"
#include "errors.h"
#include "host.h"
#include "value.h"
#include "variable_store.h"

namespace orvelle::script {

struct LineInfo;
class CompiledExpr;
class CompiledCondition;

class TExecute {
 public:
  // kFast caches what each line is and evaluates expressions from a compiled form wherever that
  // gives the same bytes; kPlain evaluates every line from its text, as the language is defined.
  enum class Mode { kFast, kPlain };

  explicit TExecute(ScriptHost& host, Mode mode = Mode::kFast);
  ~TExecute();
  TExecute(const TExecute&) = delete;
  TExecute& operator=(const TExecute&) = delete;

  // Sets the abort flag; safe from any thread.
  void Abort() { abort_.store(true, std::memory_order_relaxed); }
  // The host's way to set a variable (bracketed names go to the array store).
  void SetVar(std::string_view name, std::string_view value);
  std::string GetVar(std::string_view name) const { return std::string(variables_.Read(name)); }
  const VariableStore& Variables() const { return variables_; }
  const std::map<std::string, std::string>& Arrays() const { return arrays_; }
  const std::string& LastError() const { return last_error_; }

  // Runs the script; throws EScriptError or EStringListError when the run ends on an error.
  // A run of the same lines as the last one keeps what was learned about each line.
  void Run(const std::vector<std::string>& lines);

  // Makes the engine what a new one on `host` would be (no variables, arrays or error, nothing
  // pending) while keeping the analysed lines of its last program, so serving the same page
  // again skips their analysis.
  void Recycle(ScriptHost& host);
  // Variable slots the engine holds; each distinct name ever used takes one.
  std::size_t SlotCount() const { return variables_.SlotCount(); }

  // Executes one trimmed line as if it stood at program line pc.
  void ExecLine(std::string_view line, int& pc);

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
  Mode GetMode() const { return mode_; }
  std::uint64_t NextEpoch() { return ++epoch_; }

 private:
  void RunLoop();
  bool SameProgram(const std::vector<std::string>& lines) const;
  void Load(const std::vector<std::string>& lines);
  std::string_view ReadLine(int k);
  LineInfo& Info(int k);
  std::unique_ptr<LineInfo> Analyse(std::string_view trimmed, int k);
  void ExecLineAt(int k, int& pc);
  void Dispatch(LineInfo& info, int& pc);
  int ProcedureHeader(std::string_view line) const;

  void ExecAssignment(LineInfo& info);
  void ExecIf(int k, int& pc);
  void ExecFor(LineInfo& info, int& pc);
  void ExecWhile(LineInfo& info, int& pc);
  void SetLoopVariable(LineInfo& info, std::int32_t value);
  bool EvalLoopBounds(LineInfo& info, std::int32_t (&bounds)[3]);
  void ExecRepeat(int& pc);
  void CallProc(int header);
  void SkipDefinition(LineInfo& info, int& pc);
  void ExecEcho(LineInfo& info);
  void ExecStatement(LineInfo& info);

  bool EvalConditionAt(std::string_view text, bool& result, int depth);
  bool ConditionOf(int k, bool& result);

  ScriptHost* host_;
  Mode mode_;
  std::atomic<bool> abort_{false};
  VariableStore variables_;
  std::map<std::string, std::string> arrays_;
  std::vector<std::string> program_;
  int pc_ = 0;
  bool break_ = false;
  bool exit_ = false;
  std::int64_t counter_frequency_;
  std::string last_error_;
  VariableStore::Slot* error_slot_;
  std::vector<std::unique_ptr<LineInfo>> lines_;
  std::unordered_map<std::string, int> procedure_headers_;  // lower-cased line -> first index
  int nesting_ = 0;
  std::uint64_t epoch_ = 0;
};

}  // namespace orvelle::script
