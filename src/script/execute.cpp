// TExecute's core: creation, variables, the run loop, the statement dispatcher and the error
// protocol.
#include <fmt/format.h>

#include <algorithm>

#include "Uscripteng.h"
#include "line_analysis.h"
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
constexpr std::string_view kProcedurePrefix = "procedure ";

// Statement rows 10 to 21: prefix, row, name, accepted argument counts (-1: any).
struct StatementRow {
  std::string_view prefix;
  Row row;
  std::string_view name;
  int min_args, max_args;
};
constexpr StatementRow kStatements[] = {
    {"echo (", Row::kEcho, "echo", 1, 1},
    {"openport (", Row::kOpenPort, "openport", 6, 6},
    {"setrts (", Row::kSetRts, "", -1, -1},
    {"clearrts (", Row::kClearRts, "", -1, -1},
    {"setdtr (", Row::kSetDtr, "", -1, -1},
    {"cleardtr (", Row::kClearDtr, "", -1, -1},
    {"exec (", Row::kInert, "", -1, -1},
    {"flush (", Row::kFlush, "flush", 0, 1},
    {"writefile (", Row::kWriteFile, "writefile", 2, 2},
    {"deletefile (", Row::kDeleteFile, "deletefile", 1, 1},
    {"send (", Row::kSend, "send", 1, 1},
    {"closeport (", Row::kClosePort, "closeport", 0, 0},
};

}  // namespace

bool BeginsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

TExecute::TExecute(ScriptHost& host, Mode mode)
    : host_(&host),
      mode_(mode),
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

void TExecute::Recycle(ScriptHost& host) {
  host_ = &host;
  counter_frequency_ = host.CounterFrequency();
  variables_.Reset();
  arrays_.clear();
  last_error_.clear();
  break_ = false;
  exit_ = false;
  nesting_ = 0;
  pc_ = 0;
  abort_.store(false, std::memory_order_relaxed);
}

bool TExecute::SameProgram(const std::vector<std::string>& lines) const {
  return program_.size() == lines.size() + 2 &&
         std::equal(lines.begin(), lines.end(), program_.begin() + 1);
}

void TExecute::Run(const std::vector<std::string>& lines) {
  SetVar("error", "0");
  abort_.store(false, std::memory_order_relaxed);
  pc_ = 1;
  // The analysed lines point into program_ and depend only on its text.
  if (!SameProgram(lines)) Load(lines);
  RunWithStack(kRunStackNeeded, kRunStackBytes, [this] { RunLoop(); });
}

void TExecute::Load(const std::vector<std::string>& lines) {
  program_.clear();
  program_.reserve(lines.size() + 2);
  program_.emplace_back("begin");
  program_.insert(program_.end(), lines.begin(), lines.end());
  program_.emplace_back("end");
  procedure_headers_.clear();
  for (int i = 0; i < static_cast<int>(program_.size()); ++i) {
    if (program_[i].size() < kProcedurePrefix.size()) continue;
    std::string lower = LowerAscii(program_[i]);
    if (BeginsWith(lower, kProcedurePrefix)) procedure_headers_.emplace(std::move(lower), i);
  }
  lines_.clear();
  lines_.resize(program_.size());
}

void TExecute::RunLoop() {
  const int count = static_cast<int>(program_.size());
  while (pc_ < count && !abort_.load(std::memory_order_relaxed)) {
    std::string_view line = ReadLine(pc_);
    if (!line.empty()) {
      if (line == "end") return;
      ExecLineAt(pc_, pc_);
    }
    ++pc_;
  }
}

std::string_view TExecute::ReadLine(int k) {
  if (k < 0 || k >= static_cast<int>(program_.size())) throw EStringListError();
  if (mode_ == Mode::kFast) return Info(k).text;
  return Trim(program_[k]);
}

LineInfo& TExecute::Info(int k) {
  std::unique_ptr<LineInfo>& slot = lines_[k];
  if (!slot) slot = Analyse(Trim(program_[k]), k);
  return *slot;
}

int TExecute::ProcedureHeader(std::string_view line) const {
  if (procedure_headers_.empty()) return -1;
  std::string key(kProcedurePrefix);
  key += LowerAscii(line);
  auto it = procedure_headers_.find(key);
  return it == procedure_headers_.end() ? -1 : it->second;
}

namespace {

void CompileArgs(LineInfo& info, const StatementRow& row, VariableStore& store, bool tree) {
  SplitResult split = SplitCall(info.text);
  int n = static_cast<int>(split.args.size());
  info.valid = split.name == row.name && n >= row.min_args && n <= row.max_args;
  if (!info.valid) return;
  for (const std::string& arg : split.args) {
    info.args.push_back(CompiledExpr::Compile(arg, store, tree));
  }
}

void CompileFor(LineInfo& info, VariableStore& store, bool tree) {
  SplitResult split = SplitCall(StripBlanks(info.text));
  info.valid = split.name == "for" && split.args.size() == 4;
  if (!info.valid) return;
  info.loop_name = split.args[0];
  info.loop_slot = store.Resolve(info.loop_name);
  for (int i = 1; i < 4; ++i)
    info.args.push_back(CompiledExpr::Compile(split.args[i], store, tree));
}

void CompileAssignment(LineInfo& info, VariableStore& store, bool tree) {
  std::size_t equals = info.text.find('=');
  std::string_view expression = info.text;
  if (equals != std::string_view::npos) {
    info.target_name = std::string(Trim(info.text.substr(0, equals)));
    expression = info.text.substr(equals + 1);
  }
  if (info.target_name.find('=') == std::string::npos) {
    info.target = store.Resolve(info.target_name);
  }
  info.expr = CompiledExpr::Compile(expression, store, tree);
}

}  // namespace

std::unique_ptr<LineInfo> TExecute::Analyse(std::string_view trimmed, int k) {
  auto info = std::make_unique<LineInfo>();
  LineInfo& in = *info;
  in.text = trimmed;
  const bool tree = mode_ == Mode::kFast;
  (void)k;
  if (BeginsWith(trimmed, "#")) {
    in.row = Row::kComment;
  } else if (BeginsWith(trimmed, "for (")) {
    in.row = Row::kFor;
    CompileFor(in, variables_, tree);
  } else if (BeginsWith(trimmed, "if (")) {
    in.row = Row::kIf;
  } else if (BeginsWith(trimmed, "while (")) {
    in.row = Row::kWhile;
  } else if (trimmed == "repeat") {
    in.row = Row::kRepeat;
  } else if (trimmed == "break") {
    in.row = Row::kBreak;
  } else if (trimmed == "exit") {
    in.row = Row::kExit;
  } else if ((in.procedure = ProcedureHeader(trimmed)) >= 0) {
    in.row = Row::kCall;
  } else if (BeginsWith(trimmed, kProcedurePrefix)) {
    in.row = Row::kDefinition;
  } else {
    in.row = Row::kAssignment;
    for (const StatementRow& row : kStatements) {
      if (!BeginsWith(trimmed, row.prefix)) continue;
      in.row = row.row;
      if (row.min_args >= 0) CompileArgs(in, row, variables_, tree);
      break;
    }
    if (in.row == Row::kAssignment) CompileAssignment(in, variables_, tree);
  }
  // Keyword lines that loops and ifs read as conditions.
  std::size_t cut = 0;
  if (BeginsWith(trimmed, "if ("))
    cut = 3;
  else if (BeginsWith(trimmed, "while (") || BeginsWith(trimmed, "until ("))
    cut = 6;
  else if (BeginsWith(trimmed, "elseif ("))
    cut = 7;
  if (cut > 0) in.condition = CompiledCondition::Compile(trimmed.substr(cut), variables_, tree);
  return info;
}

void TExecute::ExecLine(std::string_view line, int& pc) {
  if (break_ || exit_) return;
  host_->PumpMessages();
  if (abort_.load(std::memory_order_relaxed)) return;
  NestingGuard guard(nesting_);
  std::unique_ptr<LineInfo> info = Analyse(Trim(line), pc);
  Dispatch(*info, pc);
}

void TExecute::ExecLineAt(int k, int& pc) {
  if (break_ || exit_) return;
  host_->PumpMessages();
  if (abort_.load(std::memory_order_relaxed)) return;
  NestingGuard guard(nesting_);
  if (mode_ == Mode::kFast) {
    Dispatch(Info(k), pc);
    return;
  }
  std::unique_ptr<LineInfo> info = Analyse(Trim(program_[k]), k);
  Dispatch(*info, pc);
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

void TExecute::Dispatch(LineInfo& info, int& pc) {
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

void TExecute::ExecAssignment(LineInfo& info) {
  Value& value = info.scratch;
  if (!info.expr.Eval(*this, value)) return;
  if (info.target) {
    variables_.WriteSlot(*info.target, info.target_name, value);
  } else {
    variables_.Write(info.target_name, value.Text());
  }
}

}  // namespace orvelle::script
