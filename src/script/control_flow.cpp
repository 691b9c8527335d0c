// The block statements: if/elseif/else/endif, for/next, while/wend and repeat/until. Bodies run
// line by line through ExecLineAt; the parts of a block that are skipped end at the partners the
// program found when it was compiled.

#include <limits>

#include "Uscripteng.h"
#include "line_analysis.h"
#include "nesting_guard.h"
#include "numbers.h"
#include "run_state.h"

namespace orvelle::script {

namespace {

// A for bound as a whole number; plain decimal integers skip the text conversion.
std::optional<std::int32_t> LoopBound(std::string_view text, const NumberInfo& number) {
  bool plain_digits = !text.empty() && text.size() < 11;
  for (std::size_t i = 0; i < text.size() && plain_digits; ++i) {
    char c = text[i];
    plain_digits = (c >= '0' && c <= '9') || (c == '-' && i == 0);
  }
  constexpr double kLow = std::numeric_limits<std::int32_t>::min();
  constexpr double kHigh = std::numeric_limits<std::int32_t>::max();
  // The range is checked first: converting a double outside it to int32 is undefined.
  if (plain_digits && number.known && number.is_number && number.value >= kLow &&
      number.value <= kHigh && number.value == static_cast<std::int32_t>(number.value)) {
    return static_cast<std::int32_t>(number.value);
  }
  return VariantToInteger(text);
}

// All three bounds are literals or variables unchanged since they were last converted.
bool CachedBounds(const LineInfo& info, const ForState& state, const VariableStore& variables,
                  std::int32_t (&bounds)[3]) {
  for (int i = 0; i < 3; ++i) {
    const ForState::BoundCache& cache = state.cache[i];
    if (!cache.valid) return false;
    std::uint32_t index = info.args[i].SoleVariable();
    if (index != kNoSlot && variables.At(index).version != cache.version) return false;
    bounds[i] = cache.value;
  }
  return true;
}

// A partner found at compile time; past the last line the run ends as the scan's read would.
int Partner(int position) {
  if (position == kRunsOffEnd) throw EStringListError();
  return position;
}

}  // namespace

bool TExecute::ConditionOf(int k, bool& result) {
  return Info(k).condition->Eval(*this, result);
}

void TExecute::ExecIf(int k, int& pc) {
  bool result = false;
  if (!ConditionOf(k, result)) return;
  if (result) {
    int line_index = pc + 1;
    for (;;) {
      std::string_view line = ReadLine(line_index);
      if (line == "endif") break;
      if (line == "else" || BeginsWith(line, "elseif (")) {
        line_index = Partner(Info(line_index).pass_end);
        break;
      }
      ExecLineAt(line_index, line_index);
      ++line_index;
    }
    pc = line_index;
    return;
  }
  const IfSkip skip = Info(k).if_skip;
  pc = Partner(skip.position);
  if (skip.kind == IfSkip::Kind::kEndIf) return;
  if (skip.kind == IfSkip::Kind::kElseIf) {
    NestingGuard guard(nesting_);  // a long elseif chain nests one call per branch
    ExecIf(pc, pc);
    return;
  }
  // From the else on, lines run; the first endif that no nested block consumed closes the if.
  ExecLineAt(pc, pc);  // the else line itself, which has no effect of its own
  for (;;) {
    ++pc;
    std::string_view line = ReadLine(pc);
    ExecLineAt(pc, pc);
    if (line == "endif") return;
  }
}

void TExecute::ExecFor(const LineInfo& info, int& pc) {
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
    // The counter is set again before every body line; while nothing has written it since (its
    // version is unchanged), it still holds this pass's value and spelling.
    const VariableStore::Slot* counter =
        info.loop_slot != kNoSlot ? &variables_.At(info.loop_slot) : nullptr;
    bool set = false;
    std::uint64_t set_version = 0;
    while (ReadLine(k) != "next") {
      if (!set || !counter || counter->version != set_version) {
        SetLoopVariable(info, current);
        set = counter != nullptr;
        if (counter) set_version = counter->version;
      }
      ExecLineAt(k, k);
      ++k;
    }
    ++pass;
    if (pass - 1 > count || break_ || exit_ || Stopped()) {
      break_ = false;
      pc = k;
      return;
    }
  }
}

bool TExecute::EvalLoopBounds(const LineInfo& info, std::int32_t (&bounds)[3]) {
  // All three are evaluated before any is converted: a failing evaluation ends the statement
  // quietly, a bound that is no number ends the run.
  ForState& state = for_states_[info.for_state];
  if (CachedBounds(info, state, variables_, bounds)) return true;
  std::array<Value, 3>& values = state.values;
  std::string_view texts[3];
  const NumberInfo* numbers[3];
  bool cached[3] = {false, false, false};
  for (int i = 0; i < 3; ++i) {
    const CompiledExpr& expr = info.args[i];
    ForState::BoundCache& cache = state.cache[i];
    if (std::uint32_t index = expr.SoleVariable(); index != kNoSlot) {
      const VariableStore::Slot& slot = variables_.At(index);
      cached[i] = cache.valid && cache.version == slot.version;
      texts[i] = slot.Text();
      numbers[i] = &slot.Number();
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
    ForState::BoundCache& cache = state.cache[i];
    if (cached[i]) {
      bounds[i] = cache.value;
      continue;
    }
    std::optional<std::int32_t> converted = LoopBound(texts[i], *numbers[i]);
    if (!converted) throw EScriptError("Invalid variant type conversion");
    bounds[i] = *converted;
    if (std::uint32_t index = info.args[i].SoleVariable(); index != kNoSlot) {
      cache = {true, variables_.At(index).version, bounds[i]};
    } else if (info.args[i].SoleConstant()) {
      cache = {true, 0, bounds[i]};
    }
  }
  return true;
}

void TExecute::SetLoopVariable(const LineInfo& info, std::int32_t value) {
  if (info.loop_slot != kNoSlot) {
    variables_.WriteInteger(variables_.At(info.loop_slot), info.loop_name, value);
  } else {
    SetVar(info.loop_name, std::to_string(value));
  }
}

void TExecute::ExecWhile(const LineInfo& info, int& pc) {
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
    } while (result && !break_ && !exit_ && !Stopped());
    pc = k;
  } else {
    pc = Partner(info.wend);
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
      if (!ok || result || break_ || exit_ || Stopped()) break;
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
