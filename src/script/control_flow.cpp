// Entering the block statements (if/elseif/else, for, while), for the run loop's frames. The
// parts of a block that are skipped end at the partners the program found when it was compiled.

#include <algorithm>
#include <limits>

#include "line_analysis.h"
#include "numbers.h"
#include "run_state.h"
#include "script_run.h"

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

}  // namespace

bool ScriptRun::ConditionOf(int k, bool& result) {
  if (Info(k).condition->Eval(*this, result)) return true;
  ExplainFailure(k);
  return false;
}

// A false if skips to its first elseif, else or endif on its own level; each elseif passed
// holds one more nesting level, as a long chain always has.
void ScriptRun::EnterIf(int k) {
  for (int passed = 0;; ++passed) {
    bool result = false;
    if (!ConditionOf(k, result)) return;  // the body then runs as plain lines
    if (result) {
      Push(RunFrame::Kind::kIfBranch, k, k, 1 + passed);
      return;
    }
    const IfSkip skip = Info(k).if_skip;
    k = frames_.back().cursor = Partner(skip.position);
    if (skip.kind == IfSkip::Kind::kEndIf) return;
    if (skip.kind == IfSkip::Kind::kElse) {
      Push(RunFrame::Kind::kElseBranch, k, k - 1, 1 + passed);
      return;
    }
    if (depth_ + passed + 2 > kMaxNesting) throw EScriptError("Stack overflow");
  }
}

void ScriptRun::EnterWhile(int k) {
  bool result = false;
  if (!ConditionOf(k, result)) return;  // the body then runs as plain lines
  if (result) {
    Push(RunFrame::Kind::kWhile, k, k, 1).result = true;
    return;
  }
  frames_.back().cursor = Partner(Info(k).wend);
  break_ = false;
}

// The body runs up to the first next, which a nested for consumes as it runs. A pass whose
// bounds fail or point the wrong way leaves the cursor on the for line: the body then runs on
// as plain lines, as it always has.
int ScriptRun::NextInFor(RunFrame& frame) {
  for (;;) {
    if (!frame.in_pass) {
      if (!BeginPass(frame)) return Pop(frame.start);
      frame.in_pass = true;
      frame.cursor = frame.start;
      frame.counter_set = false;
    }
    if (At(++frame.cursor).kind != LineKind::kNext) {
      // Checked here, as it mostly holds: the counter still holds this pass's value.
      if (!frame.counter_set || frame.counter->version != frame.counter_version) {
        SetCounter(frame);
      }
      return frame.cursor;
    }
    ++frame.pass;
    if (frame.pass - 1 > frame.count || break_ || exit_ || Stopped()) {
      break_ = false;
      return Pop(frame.cursor);
    }
    frame.in_pass = false;
  }
}

// The bounds are read again before every pass; false ends the loop where it stands.
bool ScriptRun::BeginPass(RunFrame& frame) {
  const LineInfo& info = Info(frame.start);
  std::int32_t value[3];
  if (!EvalLoopBounds(info, value)) return false;
  const std::int64_t start = value[0], end = value[1], step = value[2];
  if (step == 0) throw EScriptError("Division by zero");
  if (frame.pass == 1 || value[0] != frame.bounds[0] || value[1] != frame.bounds[1] ||
      value[2] != frame.bounds[2]) {
    // The bounds are read again before every pass, but mostly stay as they were.
    frame.count = (end > start ? end - start : start - end) / (step > 0 ? step : -step);
    std::copy(value, value + 3, frame.bounds);
  }
  if (!((start <= end && step > 0) || (end <= start && step < 0))) return false;
  frame.current =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(start + (frame.pass - 1) * step));
  return true;
}

// The counter is set again before every body line; while nothing has written it since (its
// version is unchanged), it still holds this pass's value and spelling.
void ScriptRun::SetCounter(RunFrame& frame) {
  const LineInfo& info = Info(frame.start);
  const VariableStore::Slot* counter =
      info.loop_slot != kNoSlot ? &variables_.At(info.loop_slot) : nullptr;
  if (frame.counter_set && counter && counter->version == frame.counter_version) return;
  SetLoopVariable(info, frame.current);
  frame.counter_set = counter != nullptr;
  frame.counter = counter;
  if (counter) frame.counter_version = counter->version;
}

namespace {

// A bound as read before conversion: its text and number, and whether its cached conversion
// still holds.
struct BoundRead {
  std::string_view text;
  const NumberInfo* number = nullptr;
  bool cached = false;
};

// A bound that is no number ends the run; conversions of variables and literals are kept.
void ConvertBounds(const LineInfo& info, ForState& state, const VariableStore& variables,
                   const BoundRead (&read)[3], std::int32_t (&bounds)[3]) {
  for (int i = 0; i < 3; ++i) {
    ForState::BoundCache& cache = state.cache[i];
    if (read[i].cached) {
      bounds[i] = cache.value;
      continue;
    }
    std::optional<std::int32_t> converted = LoopBound(read[i].text, *read[i].number);
    if (!converted) throw EScriptError("Invalid variant type conversion");
    bounds[i] = *converted;
    if (std::uint32_t index = info.args[i].SoleVariable(); index != kNoSlot) {
      cache = {true, variables.At(index).version, bounds[i]};
    } else if (info.args[i].SoleConstant()) {
      cache = {true, 0, bounds[i]};
    }
  }
}

}  // namespace

bool ScriptRun::EvalLoopBounds(const LineInfo& info, std::int32_t (&bounds)[3]) {
  // All three are evaluated before any is converted: a failing evaluation ends the statement
  // quietly, a bound that is no number ends the run.
  ForState& state = for_states_[info.for_state];
  if (CachedBounds(info, state, variables_, bounds)) return true;
  BoundRead read[3];
  for (int i = 0; i < 3; ++i) {
    const CompiledExpr& expr = info.args[i];
    const ForState::BoundCache& cache = state.cache[i];
    if (std::uint32_t index = expr.SoleVariable(); index != kNoSlot) {
      const VariableStore::Slot& slot = variables_.At(index);
      read[i] = {slot.Text(), &slot.Number(), cache.valid && cache.version == slot.version};
    } else if (const Value* constant = expr.SoleConstant()) {
      read[i] = {constant->Text(), &constant->Number(), cache.valid};
    } else if (expr.Eval(*this, state.values[i])) {
      read[i] = {state.values[i].Text(), &state.values[i].Number(), false};
    } else {
      ExplainFailure(Cursor());
      return false;
    }
  }
  ConvertBounds(info, state, variables_, read, bounds);
  return true;
}

void ScriptRun::SetLoopVariable(const LineInfo& info, std::int32_t value) {
  if (info.loop_slot != kNoSlot) {
    variables_.WriteInteger(variables_.At(info.loop_slot), info.loop_name, value);
  } else {
    SetVar(info.loop_name, std::to_string(value));
  }
}

}  // namespace orvelle::script
