// Compiling script lines into a Program: each line's row and compiled parts, procedure headers,
// block partners and the block check.
#include "program.h"

#include "errors.h"
#include "script/page/block_check.h"
#include "text_scan.h"

namespace orvelle::script {

namespace {
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

void CompileArgs(LineInfo& info, const StatementRow& row, CompileContext& context, bool tree) {
  SplitResult split = SplitCall(info.text);
  int n = static_cast<int>(split.args.size());
  info.valid = split.name == row.name && n >= row.min_args && n <= row.max_args;
  if (!info.valid) return;
  for (const std::string& arg : split.args) {
    info.args.push_back(CompiledExpr::Compile(arg, context, tree));
  }
}

// The counter goes to its slot only in fast mode; the text path writes it by name.
void CompileFor(LineInfo& info, CompileContext& context, bool tree) {
  SplitResult split = SplitCall(StripBlanks(info.text));
  info.valid = split.name == "for" && split.args.size() == 4;
  if (!info.valid) return;
  info.loop_name = split.args[0];
  if (tree) info.loop_slot = context.names.Resolve(info.loop_name);
  for (int i = 1; i < 4; ++i)
    info.args.push_back(CompiledExpr::Compile(split.args[i], context, tree));
}

void CompileAssignment(LineInfo& info, CompileContext& context, bool tree) {
  std::size_t equals = info.text.find('=');
  std::string_view expression = info.text;
  if (equals != std::string_view::npos) {
    info.target_name = std::string(Trim(info.text.substr(0, equals)));
    expression = info.text.substr(equals + 1);
  }
  if (info.target_name.find('=') == std::string::npos) {
    info.target = context.names.Resolve(info.target_name);
  }
  info.expr = CompiledExpr::Compile(expression, context, tree);
}

// Keyword lines that loops and ifs read as conditions: where the condition starts, or 0.
std::size_t ConditionStart(std::string_view text) {
  if (BeginsWith(text, "if (")) return 3;
  if (BeginsWith(text, "while (") || BeginsWith(text, "until (")) return 6;
  if (BeginsWith(text, "elseif (")) return 7;
  return 0;
}

}  // namespace

bool BeginsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::shared_ptr<const Program> Program::Compile(std::vector<std::string> lines, EvalMode mode) {
  std::shared_ptr<Program> program(new Program());
  program->mode_ = mode;
  program->block_error_ = CheckBlocks(lines);
  program->lines_.reserve(lines.size() + 2);
  program->lines_.emplace_back("begin");
  for (std::string& line : lines) program->lines_.push_back(std::move(line));
  program->lines_.emplace_back("end");
  program->FindProcedureHeaders();
  program->CompileLines();
  FindBlockPartners(program->info_);
  return program;
}

void Program::CompileLines() {
  // The texts are views into lines_, which no longer changes.
  info_.resize(lines_.size());
  CompileContext context{names_};
  context.names.Resolve("error");
  for (std::size_t k = 0; k < lines_.size(); ++k) {
    info_[k].text = Trim(lines_[k]);
    Analyse(info_[k], context);
  }
  operand_states_ = context.operand_states;
}

// Out of line, so that Text itself stays small enough to be inlined in the run loops.
void Program::ThrowPastEnd() {
  throw EStringListError();
}

std::vector<std::string> Program::ScriptLines() const {
  return {lines_.begin() + 1, lines_.end() - 1};
}

void Program::FindProcedureHeaders() {
  for (int i = 0; i < LineCount(); ++i) {
    if (lines_[i].size() < kProcedurePrefix.size()) continue;
    std::string lower = LowerAscii(lines_[i]);
    if (BeginsWith(lower, kProcedurePrefix)) procedure_headers_.emplace(std::move(lower), i);
  }
}

int Program::ProcedureHeader(std::string_view line) const {
  if (procedure_headers_.empty()) return -1;
  std::string key(kProcedurePrefix);
  key += LowerAscii(line);
  auto it = procedure_headers_.find(key);
  return it == procedure_headers_.end() ? -1 : it->second;
}

void Program::Analyse(LineInfo& in, CompileContext& context) {
  const std::string_view trimmed = in.text;
  const bool tree = mode_ == EvalMode::kFast;
  if (BeginsWith(trimmed, "#")) {
    in.row = Row::kComment;
  } else if (BeginsWith(trimmed, "for (")) {
    in.row = Row::kFor;
    in.for_state = for_lines_++;
    CompileFor(in, context, tree);
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
      if (row.min_args >= 0) CompileArgs(in, row, context, tree);
      break;
    }
    if (in.row == Row::kAssignment) CompileAssignment(in, context, tree);
  }
  if (std::size_t cut = ConditionStart(trimmed); cut > 0) {
    in.condition = CompiledCondition::Compile(trimmed.substr(cut), context, tree);
  }
}

}  // namespace orvelle::script
