// ScriptRun's core: creation, variables, the line dispatcher and the error protocol.
#include <fmt/format.h>

#include "script_run.h"
#include "text_scan.h"

namespace orvelle::script {

ScriptRun::ScriptRun(ScriptHost& host, std::shared_ptr<const Program> program, RunLimits limits)
    : host_(&host),
      limits_(std::move(limits)),
      program_(std::move(program)),
      variables_(&program_->Names()),
      counter_frequency_(host.CounterFrequency()),
      error_slot_(variables_.Resolve("error")),
      operand_states_(program_->OperandStates()),
      for_states_(program_->ForLines()) {}

ScriptRun::~ScriptRun() = default;

void ScriptRun::SetVar(std::string_view name, std::string_view value) {
  std::size_t open = name.find('[');
  std::size_t close = name.rfind(']');
  if (open == std::string_view::npos || close == std::string_view::npos) {
    variables_.Write(name, value);
    return;
  }
  // An indexed name's value is not kept, but a bad index still ends the run as it always has.
  std::string_view inside = close > open ? name.substr(open + 1, close - open - 1) : "";
  SplitResult pieces = SplitCall("x(" + std::string(inside) + ")");
  for (std::size_t i = 0; i < pieces.args.size(); ++i) {
    // The name comes from a request: an index holding a ")" would be worked out as a group or
    // a call, so it is taken as written instead, and nothing in a name ever runs.
    Value index;
    if (pieces.args[i].find(')') == std::string::npos) {
      text_.Expression(StripBlanks(pieces.args[i]), index);
    } else {
      index.SetText(pieces.args[i]);
    }
    auto number = ParseIntegerText(index.Text());
    if (!number) {
      throw EScriptError(fmt::format("'{}' is not a valid integer value", index.Text()));
    }
  }
}

void ScriptRun::ClearError() {
  variables_.WriteInteger(*error_slot_, "error", 0);  // the text "0", kept as a number
}

void ScriptRun::ReportError(std::string_view message) {
  variables_.WriteSlot(*error_slot_, "error", "1");
  last_error_.assign(message);
  if (host_->GetSetting("Show errors on page") == "yes") {
    host_->AppendOutput("<b>" + std::string(message) + "</b>");
  }
}

namespace {

// The line is set or cleared on an open port; on a closed one nothing happens. Either way the
// statement reports nothing and leaves error alone.
void SetModemLineFor(SerialAccess& serial, LineKind kind) {
  const bool rts = kind == LineKind::kSetRts || kind == LineKind::kClearRts;
  const bool on = kind == LineKind::kSetRts || kind == LineKind::kSetDtr;
  serial.SetModemLine(rts ? SerialAccess::ModemLine::kRts : SerialAccess::ModemLine::kDtr, on);
}

// Lines between two calls of the host's message pump: often enough for a desktop front end to
// stay responsive, rare enough that a tight loop does not pay a host call per line.
constexpr std::uint64_t kPumpInterval = 64;

}  // namespace

// A line runs unless a break or exit is pending or the run was stopped.
void ScriptRun::ExecLine(int k) {
  if (break_ || exit_) return;
  if (++lines_run_ % kPumpInterval == 0) host_->PumpMessages();
  if (limits_.max_lines != 0 && lines_run_ > limits_.max_lines) LineLimit();
  if (Stopped()) return;
  if (depth_ + 1 > kMaxNesting) throw EScriptError("Stack overflow");
  Dispatch(k);
}

// Past the bound on executed lines the run ends as an aborted one does.
void ScriptRun::LineLimit() {
  line_limit_reached_ = true;
  Abort();
}

void ScriptRun::Dispatch(int k) {
  const LineInfo& info = Info(k);
  // The common lines first, before the switch's indirect jump.
  if (info.kind == LineKind::kAssignment) return ExecAssignment(info);
  if (info.kind == LineKind::kIf) return EnterIf(k);
  switch (info.kind) {
    case LineKind::kComment:
    case LineKind::kInert:
      return;
    case LineKind::kSetRts:
    case LineKind::kClearRts:
    case LineKind::kSetDtr:
    case LineKind::kClearDtr:
      SetModemLineFor(host_->Serial(), info.kind);
      return;
    case LineKind::kFor:
      if (info.valid) Push(RunFrame::Kind::kFor, k, k, 1);
      return;
    case LineKind::kIf:
      return EnterIf(k);
    case LineKind::kWhile:
      return EnterWhile(k);
    case LineKind::kRepeat:
      Push(RunFrame::Kind::kRepeat, k, k, 1);
      return;
    default:
      return DispatchSimple(k, info);
  }
}

// Lines that open no block.
void ScriptRun::DispatchSimple(int k, const LineInfo& info) {
  switch (info.kind) {
    case LineKind::kBreak:
      break_ = true;
      return;
    case LineKind::kExit:
      exit_ = true;
      return;
    case LineKind::kCall:
      return Call(k, info.procedure);
    case LineKind::kDefinition:
      return SkipDefinition(info);
    case LineKind::kEcho:
      return ExecEcho(info);
    case LineKind::kAssignment:
      return ExecAssignment(info);
    default:
      if (RunsAsPlainLine(info.kind)) return ExecPlainLine(k, info);
      return ExecStatement(info);
  }
}

void ScriptRun::ExecAssignment(const LineInfo& info) {
  if (info.target != kNoSlot && ExecAssignmentInPlace(info)) return;
  Value& value = assign_scratch_;
  if (!info.expr.Eval(*this, value)) return ExplainFailure(Cursor());
  if (info.target != kNoSlot) {
    variables_.WriteSlot(variables_.At(info.target), info.target_name, value);
  } else {
    variables_.Write(info.target_name, value.Text());
  }
}

// The shapes whose value needs no scratch value on its way to the target; false for the rest.
bool ScriptRun::ExecAssignmentInPlace(const LineInfo& info) {
  VariableStore::Slot& target = variables_.At(info.target);
  if (info.expr.AppendsTo() == info.target && target.defined) {
    // The text grows where it stands; an undefined target takes the general path.
    info.expr.AppendInPlace(variables_, info.target_name);
    return true;
  }
  // A length in the sum is a built-in call, which clears error before the sum reads anything;
  // should the sum fall to the general path, the call clears it again there.
  if (info.expr.SumCalls()) ClearError();
  if (double sum; info.expr.WholeSum(variables_, sum)) {
    // A counter's step: the number goes to the variable without a value in between.
    variables_.WriteInteger(target, info.target_name, static_cast<std::int64_t>(sum));
    return true;
  }
  if (const Value* source = info.expr.SoleValue(variables_)) {
    variables_.CopySlot(target, info.target_name, *source);
    return true;
  }
  return AssignDirectCall(info, target);
}

// `v = len (a)` and `v = mid (a, b, c)` on plain operands: the built-in's work without its
// argument and result states. As the call does, error is cleared and then the value written.
bool ScriptRun::AssignDirectCall(const LineInfo& info, VariableStore::Slot& target) {
  std::int64_t number = 0;
  std::string_view text;
  switch (info.expr.DirectCall(variables_, number, text)) {
    case CompiledExpr::Direct::kNumber:
      ClearError();
      variables_.WriteInteger(target, info.target_name, number);
      return true;
    case CompiledExpr::Direct::kText:
      // Held apart first: the text may be error's own, which clearing it rewrites.
      assign_scratch_.TextForWriting().assign(text);
      ClearError();
      variables_.WriteSlot(target, info.target_name, assign_scratch_);
      return true;
    case CompiledExpr::Direct::kNone:
      break;
  }
  return false;
}

BuiltinValue ScriptRun::CallBuiltin(const BuiltinEntry& entry, std::span<const std::string> args,
                                    bool& call_failed) {
  BuiltinEnv env{*host_, counter_frequency_, last_error_, {}, false};
  BuiltinValue value = entry.fn(env, args);
  FinishBuiltin(env, value, call_failed);
  return value;
}

BuiltinValue ScriptRun::CallBuiltinOnValues(const BuiltinEntry& entry,
                                            std::span<const Value* const> args, bool& call_failed) {
  BuiltinEnv env{*host_, counter_frequency_, last_error_, {}, false};
  BuiltinValue value = entry.on_values(env, args);
  FinishBuiltin(env, value, call_failed);
  return value;
}

void ScriptRun::FinishBuiltin(BuiltinEnv& env, BuiltinValue& value, bool& call_failed) {
  // The work never reads error, so clearing it afterwards is the same as before, and a call
  // without action can leave it untouched.
  if (env.no_action) {
    call_failed = true;
    value = BuiltinValue::Text("");
    return;
  }
  ClearError();
  if (!env.error.empty()) {
    ReportError(env.error);
    value = BuiltinValue::Text("");
  }
  call_failed = env.call_failed;
}

}  // namespace orvelle::script
