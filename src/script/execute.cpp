// TExecute's core: creation, variables, the run loop, the statement dispatcher and the error
// protocol.
#include <fmt/format.h>

#include "Uscripteng.h"
#include "nesting_guard.h"
#include "stack_thread.h"
#include "text_scan.h"

namespace orvelle::script {

namespace {
// The deepest nesting takes under 1 KiB of stack per level even in sanitizer builds (3.4 MB
// measured for the limit); a run goes on the caller's thread when 6 MiB are left, else on a
// thread of its own.
constexpr std::size_t kRunStackNeeded = 6u << 20;
constexpr std::size_t kRunStackBytes = 64u << 20;  // reserved, touched only as used
}  // namespace

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

void TExecute::Run() {
  SetVar("error", "0");
  pc_ = 1;
  RunWithStack(kRunStackNeeded, kRunStackBytes, [this] { RunLoop(); });
}

void TExecute::RunLoop() {
  const int count = program_->LineCount();
  while (pc_ < count && !Stopped()) {
    std::string_view line = ReadLine(pc_);
    if (!line.empty()) {
      if (line == "end") return;
      ExecLineAt(pc_, pc_);
    }
    ++pc_;
  }
}

// Past the bound on executed lines the run ends as an aborted one does.
void TExecute::CountLine() {
  if (limits_.max_lines == 0 || ++lines_run_ <= limits_.max_lines) return;
  line_limit_reached_ = true;
  Abort();
}

void TExecute::ExecLineAt(int k, int& pc) {
  if (break_ || exit_) return;
  host_->PumpMessages();
  CountLine();
  if (Stopped()) return;
  NestingGuard guard(nesting_);
  Dispatch(Info(k), pc);
}

namespace {

// The line is set or cleared on an open port; on a closed one nothing happens. Either way the
// statement reports nothing and leaves error alone.
void SetModemLineFor(SerialAccess& serial, Row row) {
  const bool rts = row == Row::kSetRts || row == Row::kClearRts;
  const bool on = row == Row::kSetRts || row == Row::kSetDtr;
  serial.SetModemLine(rts ? SerialAccess::ModemLine::kRts : SerialAccess::ModemLine::kDtr, on);
}

}  // namespace

void TExecute::Dispatch(const LineInfo& info, int& pc) {
  switch (info.row) {
    case Row::kComment:
    case Row::kInert:
      return;
    case Row::kSetRts:
    case Row::kClearRts:
    case Row::kSetDtr:
    case Row::kClearDtr:
      SetModemLineFor(host_->Serial(), info.row);
      return;
    case Row::kFor:
      ExecFor(info, pc);
      return;
    case Row::kIf:
      ExecIf(pc, pc);
      return;
    case Row::kWhile:
      ExecWhile(info, pc);
      return;
    case Row::kRepeat:
      ExecRepeat(pc);
      return;
    case Row::kBreak:
      break_ = true;
      return;
    case Row::kExit:
      exit_ = true;
      return;
    case Row::kCall:
      CallProc(info.procedure);
      return;
    case Row::kDefinition:
      SkipDefinition(info, pc);
      return;
    case Row::kEcho:
      ExecEcho(info);
      return;
    case Row::kAssignment:
      ExecAssignment(info);
      return;
    default:
      ExecStatement(info);
      return;
  }
}

void TExecute::ExecAssignment(const LineInfo& info) {
  Value& value = assign_scratch_;
  if (!info.expr.Eval(*this, value)) return;
  if (info.target != kNoSlot) {
    variables_.WriteSlot(variables_.At(info.target), info.target_name, value);
  } else {
    variables_.Write(info.target_name, value.Text());
  }
}

}  // namespace orvelle::script
