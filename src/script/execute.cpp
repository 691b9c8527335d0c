// TExecute's core: creation, variables, the line dispatcher and the error protocol.
#include <fmt/format.h>

#include "Uscripteng.h"
#include "text_scan.h"

namespace orvelle::script {

TExecute::TExecute(ScriptHost& host, std::shared_ptr<const Program> program, RunLimits limits)
    : TExecute(host, program->Mode(), std::move(limits)) {
  Adopt(std::move(program));
}

TExecute::TExecute(ScriptHost& host, Mode mode, RunLimits limits)
    : host_(&host),
      mode_(mode),
      limits_(std::move(limits)),
      counter_frequency_(host.CounterFrequency()),
      error_slot_(variables_.Resolve("error")) {}

TExecute::~TExecute() = default;

void TExecute::SetVar(std::string_view name, std::string_view value) {
  std::size_t open = name.find('[');
  std::size_t close = name.rfind(']');
  if (open == std::string_view::npos || close == std::string_view::npos) {
    variables_.Write(name, value);
    return;
  }
  std::string_view inside = close > open ? name.substr(open + 1, close - open - 1) : "";
  SplitResult pieces = SplitCall("x(" + std::string(inside) + ")");
  std::string key(name.substr(0, open));
  for (std::size_t i = 0; i < pieces.args.size(); ++i) {
    // The name comes from a request: an index holding a ")" would be worked out as a group or
    // a call, so it is taken as written instead, and nothing in a name ever runs.
    Value index;
    if (pieces.args[i].find(')') == std::string::npos) {
      EvalExpr(pieces.args[i], index);
    } else {
      index.SetText(pieces.args[i]);
    }
    auto number = ParseIntegerText(index.Text());
    if (!number) {
      throw EScriptError(fmt::format("'{}' is not a valid integer value", index.Text()));
    }
    key += i == 0 ? "[" : ",";
    key += std::to_string(*number);
  }
  if (!pieces.args.empty()) key += "]";
  if (value.empty()) {
    arrays_.erase(key);
  } else {
    arrays_[key] = std::string(value);
  }
}

void TExecute::ClearError() {
  variables_.WriteInteger(*error_slot_, "error", 0);  // the text "0", kept as a number
}

void TExecute::ReportError(std::string_view message) {
  variables_.WriteSlot(*error_slot_, "error", "1");
  last_error_.assign(message);
  if (host_->GetSetting("Show errors on page") == "yes") {
    host_->AppendOutput("<b>" + std::string(message) + "</b>");
  }
}

// The variables set so far move to a store laid out for the program's names, in their order.
void TExecute::Adopt(std::shared_ptr<const Program> program) {
  VariableStore store(&program->Names());
  for (const std::string& entry : variables_.Entries()) {
    std::size_t equals = entry.find('=');
    store.Write(std::string_view(entry).substr(0, equals),
                std::string_view(entry).substr(equals + 1));
  }
  variables_ = std::move(store);
  error_slot_ = variables_.Resolve("error");
  program_ = std::move(program);
  operand_states_.assign(program_->OperandStates(), OperandState{});
  for_states_.assign(program_->ForLines(), ForState{});
}

void TExecute::Run(const std::vector<std::string>& lines) {
  Adopt(Program::Compile(lines, mode_));
  Run();
}

namespace {

// The line is set or cleared on an open port; on a closed one nothing happens. Either way the
// statement reports nothing and leaves error alone.
void SetModemLineFor(SerialAccess& serial, LineKind kind) {
  const bool rts = kind == LineKind::kSetRts || kind == LineKind::kClearRts;
  const bool on = kind == LineKind::kSetRts || kind == LineKind::kSetDtr;
  serial.SetModemLine(rts ? SerialAccess::ModemLine::kRts : SerialAccess::ModemLine::kDtr, on);
}

}  // namespace

void TExecute::Dispatch(int k) {
  const LineInfo& info = Info(k);
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
      if (info.valid) Push({.kind = RunFrame::Kind::kFor, .start = k, .cursor = k, .depth = 1});
      return;
    case LineKind::kIf:
      return EnterIf(k);
    case LineKind::kWhile:
      return EnterWhile(k);
    case LineKind::kRepeat:
      Push({.kind = RunFrame::Kind::kRepeat, .start = k, .cursor = k, .depth = 1});
      return;
    default:
      return DispatchSimple(k, info);
  }
}

// Lines that open no block.
void TExecute::DispatchSimple(int k, const LineInfo& info) {
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

void TExecute::ExecAssignment(const LineInfo& info) {
  Value& value = assign_scratch_;
  if (!info.expr.Eval(*this, value)) return ExplainFailure(Cursor());
  if (info.target != kNoSlot) {
    variables_.WriteSlot(variables_.At(info.target), info.target_name, value);
  } else {
    variables_.Write(info.target_name, value.Text());
  }
}

}  // namespace orvelle::script
