// The tree form of an expression and its evaluation (see compiled_expression.h).
#include "compiled_expression.h"

#include <array>
#include <cfloat>
#include <cmath>
#include <optional>
#include <span>

#include "run_state.h"
#include "script_run.h"
#include "text_scan.h"

namespace orvelle::script {

namespace {
constexpr int kMaxTreeDepth = 64;                // deeper nesting is left to the text algorithm
constexpr std::size_t kMaxTreeText = 16 * 1024;  // longer expressions are not worth a tree

// Whole numbers below kPlainIntegerLimit add and subtract exactly in a double, so counter
// arithmetic needs neither the wide type nor a look at the result's fraction.
bool AddWhole(double a, double b, char op, Value& out) {
  if ((op != '+' && op != '-') || !IsPlainInteger(a) || !IsPlainInteger(b)) return false;
  const double r = op == '+' ? a + b : a - b;
  if (!IsPlainInteger(r)) return false;  // 1E15 and beyond take the general path
  out.SetInteger(r);
  return true;
}

bool Arithmetic(double a, double b, char op, long double& r) {
  switch (op) {
    case '+':
      r = static_cast<long double>(a) + b;
      break;
    case '-':
      r = static_cast<long double>(a) - b;
      break;
    case '*':
      r = static_cast<long double>(a) * b;
      break;
    case '/':
      if (b == 0) return false;  // division by zero and 0/0
      r = static_cast<long double>(a) / b;
      break;
    default:
      return false;
  }
  // A result that a double cannot hold is an overflow of the arithmetic.
  return std::isfinite(r) && std::fabs(r) <= DBL_MAX;
}

// A whole result keeps its number only; any other is written as text and read back from it,
// since its 15 significant digits are what the next operation sees.
void SetNumber(Value& out, long double r) {
  if (r == 0 || (std::fabs(r) < kPlainIntegerLimit && r == std::trunc(r))) {
    out.SetInteger(static_cast<double>(r));
    return;
  }
  AppendNumberText(out.TextForWriting(), r);
}

// Sets out to a op b; false (out untouched) on an arithmetic error.
bool Compute(double a, double b, char op, Value& out) {
  if (AddWhole(a, b, op, out)) return true;
  long double r;
  if (!Arithmetic(a, b, op, r)) return false;
  SetNumber(out, r);
  return true;
}

bool IsArithmetic(char op) {
  return op == '+' || op == '-' || op == '*' || op == '/';
}

}  // namespace

bool ApplyOperator(Value& result, const Value& right, char op, bool first) {
  if (op == '&') {
    result.Append(right.Text());
    return true;
  }
  if (IsArithmetic(op)) return Compute(result.Number().value, right.Number().value, op, result);
  if (first) result.Clear();  // "%", "\" and "^" do nothing but empty a first value
  return true;
}

struct CompiledExpr::Operand {
  enum class Kind { kEmpty, kConstant, kVariable, kCall, kGroup };
  Kind kind = Kind::kEmpty;
  Value constant;
  std::uint32_t slot = kNoSlot;  // a variable's index in the name table
  std::uint32_t state = 0;       // a call's or group's index among the run's operand states
  const BuiltinEntry* builtin = nullptr;
  std::vector<Flat> args;          // a call's arguments; a group's one inner expression
  std::size_t begin = 0, end = 0;  // span in the stripped text
  bool close_follows = false;      // a ")" stands after the span, so a pasted "(" would pair
  bool whole = false;              // a call that is the whole expression: its value is the result
  std::string missing;             // a call's name when no built-in takes it: the reason it fails
};

struct CompiledExpr::Flat {
  std::vector<Operand> operands;
  std::string ops;
  bool has_complex = false;
};

namespace {

using Flat = CompiledExpr::Flat;
using Operand = CompiledExpr::Operand;

enum class Context { kTop, kGroup, kArg };

bool IsTokenChar(char c) {
  return !IsOperatorChar(c) && c != '"' && c != '(' && c != ')' && c != ',' &&
         static_cast<unsigned char>(c) > 32;
}

// Parses the stripped text into a tree; fails (leaving the text algorithm in charge) on any
// shape whose splitting could depend on the values spliced in.
class Parser {
 public:
  Parser(std::string_view s, CompileContext& context)
      : s_(s), context_(context), last_close_(s.rfind(')')) {}

  bool ParseTop(Flat& flat) {
    std::size_t pos = 0;
    return ParseFlat(pos, Context::kTop, 0, flat) && pos == s_.size();
  }

 private:
  bool ParseFlat(std::size_t& pos, Context ctx, int depth, Flat& flat) {
    if (depth > kMaxTreeDepth) return false;
    char prev = ctx == Context::kArg ? ',' : '(';
    for (;;) {
      Operand& op = flat.operands.emplace_back();
      if (!ParseOperand(pos, prev, depth, op)) return false;
      if (op.kind == Operand::Kind::kCall || op.kind == Operand::Kind::kGroup) {
        flat.has_complex = true;
      }
      if (pos == s_.size()) return ctx == Context::kTop;
      char c = s_[pos];
      if (IsOperatorChar(c)) {
        flat.ops += c;
        prev = c;
        ++pos;
        continue;
      }
      if (c == ')' && ctx != Context::kTop) return true;
      if (c == ',' && ctx == Context::kArg) return true;
      return false;
    }
  }

  bool ParseOperand(std::size_t& pos, char prev, int depth, Operand& op) {
    op.begin = pos;
    if (pos == s_.size()) return true;  // empty operand at the end
    char c = s_[pos];
    if (c == '"') return ParseLiteral(pos, op);
    if (c == '(') {
      if (prev == ',') return false;  // "(" after a comma names a function ending in ","
      return ParseGroup(pos, depth, op);
    }
    std::size_t start = pos;
    while (pos < s_.size() && IsTokenChar(s_[pos])) ++pos;
    std::string_view token = s_.substr(start, pos - start);
    if (pos < s_.size() && static_cast<unsigned char>(s_[pos]) < 32) return false;
    if (pos < s_.size() && s_[pos] == '(') {
      if (token.empty()) return false;
      return ParseCall(pos, token, depth, op);
    }
    op.end = pos;
    return MakeToken(token, op);
  }

  bool ParseLiteral(std::size_t& pos, Operand& op) {
    std::size_t close = s_.find('"', pos + 1);
    if (close == std::string_view::npos) return false;
    std::string_view inner = s_.substr(pos + 1, close - pos - 1);
    // The group search ignores quotes, so parentheses inside literals are taken as groups.
    if (inner.find_first_of("()") != std::string_view::npos) return false;
    op.kind = Operand::Kind::kConstant;
    op.constant.SetText(inner);
    op.constant.Number();  // worked out now: runs share the program and never write to it
    pos = close + 1;
    op.end = pos;
    return true;
  }

  bool ParseGroup(std::size_t& pos, int depth, Operand& op) {
    op.kind = Operand::Kind::kGroup;
    op.state = context_.operand_states++;
    ++pos;
    Flat& inner = op.args.emplace_back();
    if (!ParseFlat(pos, Context::kGroup, depth + 1, inner)) return false;
    if (pos >= s_.size() || s_[pos] != ')') return false;
    ++pos;
    SetEnd(op, pos);
    return true;
  }

  bool ParseCall(std::size_t& pos, std::string_view name, int depth, Operand& op) {
    op.kind = Operand::Kind::kCall;
    op.state = context_.operand_states++;
    ++pos;  // past "("
    if (pos < s_.size() && s_[pos] == ')') {
      ++pos;
    } else {
      for (;;) {
        Flat& arg = op.args.emplace_back();
        if (!ParseFlat(pos, Context::kArg, depth + 1, arg)) return false;
        if (pos >= s_.size()) return false;
        if (s_[pos] == ')') {
          ++pos;
          break;
        }
        ++pos;  // past ","
      }
    }
    SetEnd(op, pos);
    if (!SplitsAlike(op)) return false;
    op.builtin = FindBuiltin(name, op.args.size());
    if (!op.builtin) op.missing = std::string(name);
    return true;
  }

  // A group or call ends at pos; what follows it in the text is as written until its value is
  // put back, since every group that closes later is worked out later.
  void SetEnd(Operand& op, std::size_t pos) {
    op.end = pos;
    op.close_follows = last_close_ != std::string_view::npos && last_close_ >= pos;
  }

  // The argument split of the call text must be the one the tree holds.
  bool SplitsAlike(const Operand& op) {
    SplitResult split = SplitCall(s_.substr(op.begin, op.end - op.begin));
    return split.args.size() == op.args.size();
  }

  bool MakeToken(std::string_view token, Operand& op) {
    if (token.empty()) {
      op.kind = Operand::Kind::kEmpty;
      op.constant.Clear();
      return true;
    }
    if (IsNumber(token)) {
      double v = NumberValue(token);
      if (!std::isfinite(v)) return false;
      op.kind = Operand::Kind::kConstant;
      if (IsPlainInteger(v)) {
        // Its text is the plain digits: kept as a whole number, read without parsing. The text
        // is written now, since runs share the program and never write to it.
        op.constant.SetInteger(v);
        op.constant.Text();
        return true;
      }
      op.constant.SetText(NumberText(v));
      op.constant.Number();
      return true;
    }
    op.kind = Operand::Kind::kVariable;
    op.slot = context_.names.Resolve(token);
    return true;
  }

  std::string_view s_;
  CompileContext& context_;
  std::size_t last_close_;
};

using Outcome = CompiledExpr::Outcome;

bool SafeCallText(std::string_view t) {
  return t.find_first_of("\"()") == std::string_view::npos;
}

bool SafeGroupText(std::string_view t) {
  if (t.empty()) return false;
  for (char c : t) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

class TreeEvaluator {
 public:
  TreeEvaluator(ScriptRun& engine, std::uint64_t epoch) : engine_(engine), epoch_(epoch) {}

  Outcome Nested(const Flat& flat) {
    if (!flat.has_complex) return Outcome::kOk;
    for (const Operand& op : flat.operands) {
      if (op.kind == Operand::Kind::kCall) {
        Outcome r = Call(op);
        if (r != Outcome::kOk) return r;
      } else if (op.kind == Operand::Kind::kGroup) {
        Outcome r = Group(op);
        if (r != Outcome::kOk) return r;
      }
    }
    return Outcome::kOk;
  }

  // Folds one evaluated flat expression into out.
  bool Fold(const Flat& flat, Value& out) {
    const Value& first = Ref(flat.operands[0]);
    if (flat.ops.empty()) {
      const Operand& only = flat.operands[0];
      const bool owned = only.kind == Operand::Kind::kCall || only.kind == Operand::Kind::kGroup;
      if (owned && &first == &State(only).result) {
        out.TakeFrom(State(only).result);  // a call's or group's result is read once, so it moves
      } else {
        out = first;
      }
      return true;
    }
    char op0 = flat.ops[0];
    if (IsArithmetic(op0)) {
      const Value& second = Ref(flat.operands[1]);
      if (double r; (op0 == '+' || op0 == '-') && SumOfKept(first, second, op0, r)) {
        out.SetInteger(r);
      } else if (!Compute(first.Number().value, second.Number().value, op0, out)) {
        engine_.NoteArithmetic(op0, second);
        out = first;
        return false;
      }
    } else {
      out = first;
      ApplyOperator(out, Ref(flat.operands[1]), op0, true);
    }
    for (std::size_t k = 1; k < flat.ops.size(); ++k) {
      if (!ApplyOperator(out, Ref(flat.operands[k + 1]), flat.ops[k], false)) {
        engine_.NoteArithmetic(flat.ops[k], Ref(flat.operands[k + 1]));
        return false;
      }
    }
    return true;
  }

 private:
  // An operand's current value, read in place.
  const Value& Ref(const Operand& op) {
    switch (op.kind) {
      case Operand::Kind::kVariable:
        return engine_.Store().At(op.slot).value;
      case Operand::Kind::kCall:
      case Operand::Kind::kGroup: {
        const OperandState& state = State(op);
        return state.result_slot ? state.result_slot->value : state.result;
      }
      default:
        return op.constant;
    }
  }

  Outcome Call(const Operand& op) {
    for (const Flat& arg : op.args) {
      Outcome r = Nested(arg);
      if (r != Outcome::kOk) return r;
    }
    if (!op.builtin || op.builtin->inert) {
      engine_.NoteCall(op.missing, op.args.size());
      return Outcome::kFail;
    }
    if (op.builtin->on_values) return CallOnValues(op);
    // Argument buffers live in the run's state, so their capacity is reused from call to call.
    OperandState& state = State(op);
    std::string* values = state.arg_texts.data();
    bool ok = true;
    for (std::size_t i = 0; i < op.args.size(); ++i) {
      if (!ok) {
        values[i].clear();  // arguments after a failing one are not evaluated
        continue;
      }
      const Flat& arg = op.args[i];
      if (arg.ops.empty()) {
        values[i].assign(Ref(arg.operands[0]).Text());  // read in place: one copy, no fold
        continue;
      }
      ok = Fold(arg, state.arg_scratch);
      values[i].assign(state.arg_scratch.Text());
    }
    bool call_failed = false;
    BuiltinValue value = engine_.CallBuiltin(
        *op.builtin, std::span<const std::string>(values, op.args.size()), call_failed);
    if (!ok || call_failed) return Outcome::kFail;
    return Splice(op, value);
  }

  // As Call, with the arguments read where they are; only a folded one is held in the state.
  Outcome CallOnValues(const Operand& op) {
    OperandState& state = State(op);
    std::array<const Value*, 3> args{};
    bool ok = true;
    for (std::size_t i = 0; i < op.args.size(); ++i) {
      Value& held = state.arg_values[i];
      const Flat& arg = op.args[i];
      if (!ok) {
        held.Clear();  // arguments after a failing one are not evaluated
        args[i] = &held;
      } else if (arg.ops.empty()) {
        args[i] = &Ref(arg.operands[0]);
      } else {
        ok = Fold(arg, held);
        args[i] = &held;
      }
    }
    bool call_failed = false;
    BuiltinValue value = engine_.CallBuiltinOnValues(
        *op.builtin, std::span<const Value* const>(args.data(), op.args.size()), call_failed);
    if (!ok || call_failed) return Outcome::kFail;
    return Splice(op, value);
  }

  Outcome Splice(const Operand& op, BuiltinValue& value) {
    OperandState& st = State(op);
    st.epoch = epoch_;
    st.result_slot = nullptr;
    st.raw_is_result = false;
    if (value.kind == BuiltinValue::Kind::kText) {
      st.result.AdoptText(std::move(value.text));
      st.raw_is_result = true;
      st.raw_quoted = true;
      if (op.whole) return Outcome::kOk;  // nothing is pasted around it, nothing read again
      const std::string& text = st.result.Text();
      if (!PastesInertly(text, op.close_follows)) return Outcome::kFail;
      if (!SafeCallText(text)) return Outcome::kUnsafe;
      return Outcome::kOk;
    }
    st.raw_quoted = false;
    const double number = value.number;
    if (number >= 0 && IsPlainInteger(number)) {
      // Plain digits read back as the same number: the text is made only if it is read.
      st.result.SetInteger(number);
      st.raw_is_result = true;
      return Outcome::kOk;
    }
    st.raw = NumberText(number);
    if (st.raw.find('-') != std::string::npos) return Outcome::kUnsafe;
    return Reread(op);
  }

  Outcome Group(const Operand& op) {
    const Flat& inner = op.args[0];
    Outcome r = Nested(inner);
    if (r != Outcome::kOk) return r;
    Value v;
    if (!Fold(inner, v)) return Outcome::kFail;
    OperandState& st = State(op);
    st.epoch = epoch_;
    st.raw = v.TakeText();
    st.raw_quoted = false;
    st.result_slot = nullptr;
    st.raw_is_result = false;
    if (!PastesInertly(st.raw, op.close_follows)) return Outcome::kFail;
    if (!SafeGroupText(st.raw)) return Outcome::kUnsafe;
    return Reread(op);
  }

  // The spliced text is read again as one token.
  Outcome Reread(const Operand& op) {
    OperandState& st = State(op);
    if (IsNumber(st.raw)) {
      double v = NumberValue(st.raw);
      if (!std::isfinite(v)) return Outcome::kUnsafe;
      if (v == 0 || IsPlainInteger(v)) {
        st.result.SetInteger(v);
      } else {
        st.result.SetText(NumberText(v));
      }
      return Outcome::kOk;
    }
    const VariableStore::Slot* slot = engine_.Store().Find(st.raw);
    if (slot && slot->defined) {
      st.result_slot = slot;
    } else {
      st.result.Clear();
    }
    return Outcome::kOk;
  }

  OperandState& State(const Operand& op) { return engine_.OperandStateAt(op.state); }

  ScriptRun& engine_;
  std::uint64_t epoch_;
};

// Rebuilds the text the text algorithm would hold: evaluated groups and calls replaced by the
// texts spliced in for them.
void Rebuild(ScriptRun& engine, const Flat& flat, std::string_view s, std::uint64_t epoch,
             std::string& out, std::size_t& pos) {
  for (const Operand& op : flat.operands) {
    if (op.kind != Operand::Kind::kCall && op.kind != Operand::Kind::kGroup) continue;
    const OperandState& st = engine.OperandStateAt(op.state);
    if (st.epoch == epoch) {
      out.append(s.substr(pos, op.begin - pos));
      if (st.raw_quoted) out += '"';
      out += st.raw_is_result ? st.result.Text() : st.raw;
      if (st.raw_quoted) out += '"';
      pos = op.end;
    } else {
      for (const Flat& arg : op.args) Rebuild(engine, arg, s, epoch, out, pos);
    }
  }
}

}  // namespace

namespace {

// `v & a & "b"`: plain operands only, the first a variable that no other operand names.
std::uint32_t AppendTarget(const Flat& root) {
  if (root.has_complex || root.operands.size() < 2) return kNoSlot;
  if (root.ops.find_first_not_of('&') != std::string::npos) return kNoSlot;
  const std::uint32_t slot = root.operands[0].slot;
  if (root.operands[0].kind != Operand::Kind::kVariable) return kNoSlot;
  for (std::size_t k = 1; k < root.operands.size(); ++k) {
    const Operand& op = root.operands[k];
    if (op.kind == Operand::Kind::kVariable
            ? op.slot == slot
            : op.kind != Operand::Kind::kConstant && op.kind != Operand::Kind::kEmpty) {
      return kNoSlot;
    }
  }
  return slot;
}

}  // namespace

void CompiledExpr::AppendInPlace(VariableStore& variables, std::string_view name) const {
  VariableStore::Slot& target = variables.At(appends_to_);
  for (std::size_t k = 1; k < root_->operands.size(); ++k) {
    const Operand& op = root_->operands[k];
    const Value& value =
        op.kind == Operand::Kind::kVariable ? variables.At(op.slot).value : op.constant;
    variables.AppendSlot(target, name, value.Text());
  }
}

namespace {

bool IsPlain(const Operand& op) {
  return op.kind == Operand::Kind::kVariable || op.kind == Operand::Kind::kConstant ||
         op.kind == Operand::Kind::kEmpty;
}

// A call of the built-in the compiled path knows as `which`, every argument one plain operand.
bool IsPlainCall(const Operand& op, DirectBuiltin which) {
  if (op.kind != Operand::Kind::kCall || !op.builtin || op.builtin->inert) return false;
  if (op.builtin->direct != which) return false;
  for (const Flat& arg : op.args) {
    if (!arg.ops.empty() || arg.operands.size() != 1 || !IsPlain(arg.operands[0])) return false;
  }
  return true;
}

// A plain operand's slot or value.
CompiledExpr::SumSide SideOf(const Operand& op) {
  CompiledExpr::SumSide side;
  if (op.kind == Operand::Kind::kVariable) {
    side.slot = op.slot;
  } else {
    side.constant = &op.constant;  // a literal, or an empty operand (never kept as a number)
  }
  return side;
}

}  // namespace

void CompiledExpr::SetSum() {
  const Flat& top = *root_;
  if (top.operands.size() != 2 || (top.ops[0] != '+' && top.ops[0] != '-')) return;
  SumSide sides[2];
  bool calls = false;
  for (int i = 0; i < 2; ++i) {
    const Operand& op = top.operands[static_cast<std::size_t>(i)];
    if (IsPlain(op)) {
      sides[i] = SideOf(op);
    } else if (IsPlainCall(op, DirectBuiltin::kLen)) {
      sides[i] = SideOf(op.args[0].operands[0]);
      sides[i].length = true;
      calls = true;
    } else {
      return;
    }
  }
  sum_[0] = sides[0];
  sum_[1] = sides[1];
  sum_calls_ = calls;
  sum_op_ = top.ops[0];
}

void CompiledExpr::SetDirect() {
  if (root_->operands.size() != 1) return;
  const Operand& op = root_->operands[0];
  if (!op.builtin || op.builtin->direct == DirectBuiltin::kNone) return;
  if (!IsPlainCall(op, op.builtin->direct)) return;
  direct_ = op.builtin->direct;
  for (std::size_t i = 0; i < op.args.size(); ++i) direct_args_[i] = SideOf(op.args[i].operands[0]);
}

CompiledExpr::Direct CompiledExpr::DirectCall(const VariableStore& variables, std::int64_t& number,
                                              std::string_view& text) const {
  switch (direct_) {
    case DirectBuiltin::kLen:
      number = static_cast<std::int64_t>(SideValue(variables, direct_args_[0]).Text().size());
      return Direct::kNumber;
    case DirectBuiltin::kMid: {
      const std::optional<std::string_view> part =
          MidPart(SideValue(variables, direct_args_[0]).Text(),
                  SideValue(variables, direct_args_[1]), SideValue(variables, direct_args_[2]));
      if (!part) return Direct::kNone;
      text = *part;
      return Direct::kText;
    }
    case DirectBuiltin::kNone:
      break;
  }
  return Direct::kNone;
}

CompiledExpr::CompiledExpr() = default;
CompiledExpr::~CompiledExpr() = default;
CompiledExpr::CompiledExpr(CompiledExpr&&) noexcept = default;
CompiledExpr& CompiledExpr::operator=(CompiledExpr&&) noexcept = default;

CompiledExpr CompiledExpr::Compile(std::string_view text, CompileContext& context,
                                   bool allow_tree) {
  CompiledExpr expr;
  expr.stripped_ = StripBlanks(text);
  if (!allow_tree) return expr;
  if (expr.stripped_.size() > kMaxTreeText) return expr;
  auto root = std::make_unique<Flat>();
  if (!Parser(expr.stripped_, context).ParseTop(*root)) return expr;
  expr.root_ = std::move(root);
  if (expr.root_->operands.size() == 1) {
    Operand& op = expr.root_->operands[0];
    if (op.kind == Operand::Kind::kVariable) expr.sole_variable_ = op.slot;
    if (op.kind == Operand::Kind::kCall) op.whole = true;
    if (op.kind == Operand::Kind::kConstant || op.kind == Operand::Kind::kEmpty) {
      expr.sole_constant_ = &op.constant;
    }
  }
  expr.appends_to_ = AppendTarget(*expr.root_);
  expr.SetSum();
  expr.SetDirect();
  return expr;
}

bool CompiledExpr::Eval(ScriptRun& engine, Value& result) const {
  if (root_) {
    std::string at;
    const Outcome outcome = EvalTree(engine, result, at);
    if (outcome != Outcome::kUnsafe) return outcome == Outcome::kOk;
    return engine.Text().Expression(std::move(at), result);
  }
  return engine.Text().Expression(stripped_, result);
}

// The tree's evaluation; kUnsafe with `at` set to the text the text algorithm would hold at the
// point the tree can no longer vouch for the bytes.
CompiledExpr::Outcome CompiledExpr::EvalTree(ScriptRun& engine, Value& result,
                                             std::string& at) const {
  if (!root_->has_complex) {
    return TreeEvaluator(engine, 0).Fold(*root_, result) ? Outcome::kOk : Outcome::kFail;
  }
  std::uint64_t epoch = engine.NextEpoch();
  TreeEvaluator evaluator(engine, epoch);
  Outcome outcome = evaluator.Nested(*root_);
  if (outcome == Outcome::kFail) return outcome;
  if (outcome == Outcome::kUnsafe) {
    std::size_t pos = 0;
    Rebuild(engine, *root_, stripped_, epoch, at, pos);
    at.append(std::string_view(stripped_).substr(pos));
    return outcome;
  }
  return evaluator.Fold(*root_, result) ? Outcome::kOk : Outcome::kFail;
}

}  // namespace orvelle::script
