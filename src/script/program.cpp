// Compiling script lines into a Program: each line's kind and compiled parts, procedure headers,
// block partners and the block check.
#include "program.h"

#include "errors.h"
#include "script/page/block_check.h"
#include "text_scan.h"

namespace orvelle::script {

namespace {

// Statements with counted arguments: the name and count must fit, else the line does nothing.
void CompileArgs(LineInfo& info, const Keyword& keyword, CompileContext& context, bool tree) {
  SplitResult split = SplitCall(info.text);
  int n = static_cast<int>(split.args.size());
  info.valid = split.name == keyword.word && n >= keyword.min_args && n <= keyword.max_args;
  if (!info.valid) return;
  for (const std::string& arg : split.args) {
    info.args.push_back(CompiledExpr::Compile(arg, context, tree));
  }
}

// The counter goes to its slot only in fast mode; the text path writes it by name.
void CompileFor(LineInfo& info, CompileContext& context, bool tree) {
  SplitResult split = SplitCall(StripBlanks(info.text));
  const Keyword& keyword = KeywordOf(LineKind::kFor);
  info.valid = split.name == keyword.word && split.args.size() == std::size_t(keyword.max_args);
  if (!info.valid) return;
  info.loop_name = split.args[0];
  if (tree) info.loop_slot = context.names.Resolve(info.loop_name);
  for (int i = 1; i < 4; ++i)
    info.args.push_back(CompiledExpr::Compile(split.args[i], context, tree));
}

// A line without "=" (or with nothing before it) writes the variable with no name; that write
// goes by name at run time, so the name table holds only names a page writes or reads.
void CompileAssignment(LineInfo& info, CompileContext& context, bool tree) {
  std::size_t equals = info.text.find('=');
  std::string_view expression = info.text;
  if (equals != std::string_view::npos) {
    info.target_name = std::string(Trim(info.text.substr(0, equals)));
    expression = info.text.substr(equals + 1);
  }
  if (tree && !info.target_name.empty()) info.target = context.names.Resolve(info.target_name);
  info.expr = CompiledExpr::Compile(expression, context, tree);
}

// Kinds decided before procedure names are looked up: a procedure never shadows them.
bool DecidedBeforeCalls(LineKind kind) {
  switch (kind) {
    case LineKind::kComment:
    case LineKind::kFor:
    case LineKind::kIf:
    case LineKind::kWhile:
    case LineKind::kRepeat:
    case LineKind::kBreak:
    case LineKind::kExit:
      return true;
    default:
      return false;
  }
}

const Keyword* KeywordOfLine(std::string_view trimmed) {
  for (const Keyword& keyword : Keywords()) {
    if (LineHas(trimmed, keyword)) return &keyword;
  }
  return nullptr;
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
  program->lines_.emplace_back(Lead(LineKind::kEnd));
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
  info_[0].kind = LineKind::kBlank;  // the begin line: never run, never scanned
  for (std::size_t k = 1; k < lines_.size(); ++k) {
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
    if (lines_[i].size() < Lead(LineKind::kDefinition).size()) continue;
    std::string lower = LowerAscii(lines_[i]);
    if (BeginsWith(lower, Lead(LineKind::kDefinition)))
      procedure_headers_.emplace(std::move(lower), i);
  }
}

int Program::ProcedureHeader(std::string_view line) const {
  if (procedure_headers_.empty()) return -1;
  std::string key(Lead(LineKind::kDefinition));
  key += LowerAscii(line);
  auto it = procedure_headers_.find(key);
  return it == procedure_headers_.end() ? -1 : it->second;
}

void Program::Analyse(LineInfo& in, CompileContext& context) {
  const Keyword* keyword = KeywordOfLine(in.text);
  in.kind = keyword ? keyword->kind : in.text.empty() ? LineKind::kBlank : LineKind::kAssignment;
  if (!DecidedBeforeCalls(in.kind)) in.procedure = ProcedureHeader(in.text);
  if (in.procedure >= 0 && !RunsAsPlainLine(in.kind)) in.kind = LineKind::kCall;
  const bool tree = mode_ == EvalMode::kFast;
  if (in.kind == LineKind::kFor) {
    in.for_state = for_lines_++;
    CompileFor(in, context, tree);
  } else if (in.kind == LineKind::kAssignment) {
    CompileAssignment(in, context, tree);
  } else if (RunsAsPlainLine(in.kind)) {
    CompileAssignment(in, context, false);  // rare, so the text evaluator serves
  } else if (keyword && keyword->min_args >= 0) {
    CompileArgs(in, *keyword, context, tree);
  }
  if (keyword && keyword->condition) {
    in.condition =
        CompiledCondition::Compile(in.text.substr(keyword->lead.size() - 1), context, tree);
  }
}

}  // namespace orvelle::script
