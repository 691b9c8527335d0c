// The block statements: if/elseif/else/endif, for/next, while/wend and repeat/until. Bodies run
// line by line through ExecLineAt; the parts of a block that are skipped are found by scans
// whose results are cached per line in fast mode.
#include <functional>

#include "Uscripteng.h"
#include "line_analysis.h"
#include "nesting_guard.h"
#include "numbers.h"

namespace orvelle::script {

namespace {

// The skipped part of a false if: walks from the if line until an elseif or else at its own
// level, or its endif.
IfSkip ScanFalseIf(int pc, const std::function<std::string_view(int)>& read) {
  int opened = 0, closed = 0;
  for (;;) {
    ++pc;
    std::string_view line = read(pc);
    if (opened == closed && BeginsWith(line, "elseif (")) {
      return {IfSkip::Kind::kElseIf, pc, opened, closed};
    }
    if (BeginsWith(line, "if (")) ++opened;
    if (line == "endif") ++closed;
    if (opened == closed && line == "else") return {IfSkip::Kind::kElse, pc, opened, closed};
    if (line == "endif" && closed == opened + 1) return {IfSkip::Kind::kEndIf, pc, opened, closed};
  }
}

// From an else or elseif met in a taken branch to the if's own endif.
int ScanPassing(int k, const std::function<std::string_view(int)>& read) {
  int depth = 0;
  for (;;) {
    ++k;
    std::string_view line = read(k);
    if (BeginsWith(line, "if (")) ++depth;
    if (line == "endif") {
      if (depth == 0) return k;
      --depth;
    }
  }
}

int ScanFalseWhile(int pc, const std::function<std::string_view(int)>& read) {
  int opened = 0, closed = 0;
  for (;;) {
    ++pc;
    std::string_view line = read(pc);
    if (BeginsWith(line, "while (")) ++opened;
    if (line == "wend") ++closed;
    if (line == "wend" && closed == opened + 1) return pc;
  }
}

// A for bound as a whole number; plain decimal integers skip the text conversion.
std::optional<std::int32_t> LoopBound(std::string_view text, const NumberInfo& number) {
  bool plain_digits = !text.empty() && text.size() < 11;
  for (std::size_t i = 0; i < text.size() && plain_digits; ++i) {
    char c = text[i];
    plain_digits = (c >= '0' && c <= '9') || (c == '-' && i == 0);
  }
  if (plain_digits && number.known && number.is_number &&
      number.value == static_cast<std::int32_t>(number.value)) {
    return static_cast<std::int32_t>(number.value);
  }
  return VariantToInteger(text);
}

// All three bounds are literals or variables unchanged since they were last converted.
bool CachedBounds(const LineInfo& info, std::int32_t (&bounds)[3]) {
  for (int i = 0; i < 3; ++i) {
    const LineInfo::BoundCache& cache = info.bound_cache[i];
    if (!cache.valid) return false;
    const VariableStore::Slot* slot = info.args[i].SoleVariable();
    if (slot && slot->version != cache.version) return false;
    bounds[i] = cache.value;
  }
  return true;
}

template <typename T, typename Scan>
T Cached(bool fast, std::optional<T>& cache, Scan scan) {
  if (!fast) return scan();
  if (!cache) cache = scan();
  return *cache;
}

}  // namespace

bool TExecute::ConditionOf(int k, bool& result) {
  if (mode_ == Mode::kFast) return Info(k).condition->Eval(*this, result);
  std::unique_ptr<LineInfo> info = Analyse(Trim(program_[k]), k);
  return info->condition->Eval(*this, result);
}

void TExecute::ExecIf(int k, int& pc) {
  bool result = false;
  if (!ConditionOf(k, result)) return;
  auto read = [this](int i) { return ReadLine(i); };
  const bool fast = mode_ == Mode::kFast;
  if (result) {
    int line_index = pc + 1;
    for (;;) {
      std::string_view line = ReadLine(line_index);
      if (line == "endif") break;
      if (line == "else" || BeginsWith(line, "elseif (")) {
        std::optional<int> none;
        line_index = Cached(fast, fast ? Info(line_index).pass_end : none,
                            [&] { return ScanPassing(line_index, read); });
        break;
      }
      ExecLineAt(line_index, line_index);
      ++line_index;
    }
    pc = line_index;
    return;
  }
  std::optional<IfSkip> none;
  IfSkip skip = Cached(fast, fast ? Info(k).if_skip : none, [&] { return ScanFalseIf(pc, read); });
  pc = skip.position;
  if (skip.kind == IfSkip::Kind::kEndIf) return;
  if (skip.kind == IfSkip::Kind::kElseIf) {
    NestingGuard guard(nesting_);  // a long elseif chain nests one call per branch
    ExecIf(pc, pc);
    return;
  }
  // From the else on, lines run; the first endif that no nested block consumed closes the if.
  int opened = skip.opened, closed = skip.closed;
  ExecLineAt(pc, pc);  // the else line itself, which has no effect of its own
  for (;;) {
    ++pc;
    std::string_view line = ReadLine(pc);
    if (line == "endif") ++closed;
    ExecLineAt(pc, pc);
    if (line == "endif" && closed == opened + 1) return;
  }
}

void TExecute::ExecFor(LineInfo& info, int& pc) {
  if (!info.valid) return;
  std::int64_t pass = 1;
  for (;;) {
    std::int32_t value[3];
    if (!EvalLoopBounds(info, value)) return;
    const std::int64_t start = value[0], end = value[1], step = value[2];
    if (step == 0) throw EScriptError("Division by zero");
    const std::int64_t count =
        (end > start ? end - start : start - end) / (step > 0 ? step : -step);
    if (!((start <= end && step > 0) || (end <= start && step < 0))) return;
    const auto current =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(start + (pass - 1) * step));
    int k = pc + 1;
    while (ReadLine(k) != "next") {
      SetLoopVariable(info, current);
      ExecLineAt(k, k);
      ++k;
    }
    ++pass;
    if (pass - 1 > count || break_ || exit_ || abort_.load(std::memory_order_relaxed)) {
      break_ = false;
      pc = k;
      return;
    }
  }
}

bool TExecute::EvalLoopBounds(LineInfo& info, std::int32_t (&bounds)[3]) {
  // All three are evaluated before any is converted: a failing evaluation ends the statement
  // quietly, a bound that is no number ends the run.
  if (CachedBounds(info, bounds)) return true;
  if (!info.bound_values) info.bound_values = std::make_unique<std::array<Value, 3>>();
  std::array<Value, 3>& values = *info.bound_values;
  std::string_view texts[3];
  const NumberInfo* numbers[3];
  bool cached[3] = {false, false, false};
  for (int i = 0; i < 3; ++i) {
    const CompiledExpr& expr = info.args[i];
    LineInfo::BoundCache& cache = info.bound_cache[i];
    if (const VariableStore::Slot* slot = expr.SoleVariable()) {
      cached[i] = cache.valid && cache.version == slot->version;
      texts[i] = slot->Text();
      numbers[i] = &slot->Number();
    } else if (const Value* constant = expr.SoleConstant()) {
      cached[i] = cache.valid;
      texts[i] = constant->Text();
      numbers[i] = &constant->Number();
    } else {
      if (!expr.Eval(*this, values[i])) return false;
      texts[i] = values[i].Text();
      numbers[i] = &values[i].Number();
    }
  }
  for (int i = 0; i < 3; ++i) {
    LineInfo::BoundCache& cache = info.bound_cache[i];
    if (cached[i]) {
      bounds[i] = cache.value;
      continue;
    }
    std::optional<std::int32_t> converted = LoopBound(texts[i], *numbers[i]);
    if (!converted) throw EScriptError("Invalid variant type conversion");
    bounds[i] = *converted;
    if (const VariableStore::Slot* slot = info.args[i].SoleVariable()) {
      cache = {true, slot->version, bounds[i]};
    } else if (info.args[i].SoleConstant()) {
      cache = {true, 0, bounds[i]};
    }
  }
  return true;
}

void TExecute::SetLoopVariable(LineInfo& info, std::int32_t value) {
  if (mode_ == Mode::kFast) {
    variables_.WriteInteger(*info.loop_slot, info.loop_name, value);
  } else {
    SetVar(info.loop_name, std::to_string(value));
  }
}

void TExecute::ExecWhile(LineInfo& info, int& pc) {
  const int k_while = pc;
  bool result = false;
  if (!ConditionOf(k_while, result)) return;
  if (result) {
    int k;
    do {
      k = pc + 1;
      while (ReadLine(k) != "wend") {
        ExecLineAt(k, k);
        ++k;
      }
      // A condition that stops evaluating ends the loop instead of spinning on its last value.
      if (!ConditionOf(k_while, result)) break;
    } while (result && !break_ && !exit_ && !abort_.load(std::memory_order_relaxed));
    pc = k;
  } else {
    auto read = [this](int i) { return ReadLine(i); };
    std::optional<int> none;
    const bool fast = mode_ == Mode::kFast;
    pc = Cached(fast, fast ? info.wend : none, [&] { return ScanFalseWhile(pc, read); });
  }
  break_ = false;
}

void TExecute::ExecRepeat(int& pc) {
  int k = pc + 1;
  bool result = false;
  for (;;) {
    std::string_view line = ReadLine(k);
    if (BeginsWith(line, "until (")) {
      // As with while, an until condition that fails to evaluate ends the loop.
      bool ok = ConditionOf(k, result);
      if (!ok || result || break_ || exit_ || abort_.load(std::memory_order_relaxed)) break;
      k = pc + 1;
    } else {
      ExecLineAt(k, k);
      ++k;
    }
  }
  pc = k;
  break_ = false;
}

}  // namespace orvelle::script
