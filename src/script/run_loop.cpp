// The run loop: one loop over lines, each open block or call a frame on an explicit stack. A
// frame hands out its body's lines one by one and, when its block ends, pops itself and leaves
// the line its caller goes on from in the caller's cursor.
#include "script_run.h"

namespace orvelle::script {

namespace {
constexpr int kFrameDone = -2;  // the frame ended; ask the one below it
constexpr int kRunDone = -1;    // the run ended
}  // namespace

void ScriptRun::Run() {
  SetVar("error", "0");
  frames_.clear();
  depth_ = 0;
  frames_.push_back(RunFrame{});
  for (int k = NextLine(); k >= 0; k = NextLine()) ExecLine(k);
}

int ScriptRun::NextLine() {
  for (;;) {
    RunFrame& frame = frames_.back();
    // A for body's line is the most common, so it is asked for before the switch's jump.
    const int k = frame.kind == RunFrame::Kind::kFor ? NextInFor(frame) : NextInFrame(frame);
    if (k != kFrameDone) return k;
  }
}

int ScriptRun::NextInFrame(RunFrame& frame) {
  switch (frame.kind) {
    case RunFrame::Kind::kTop:
      return NextAtTop(frame);
    case RunFrame::Kind::kIfBranch:
      return NextInIf(frame);
    case RunFrame::Kind::kElseBranch:
      return NextInElse(frame);
    case RunFrame::Kind::kFor:
      return NextInFor(frame);
    case RunFrame::Kind::kWhile:
      return NextInWhile(frame);
    case RunFrame::Kind::kRepeat:
      return NextInRepeat(frame);
    case RunFrame::Kind::kCall:
      return NextInCall(frame);
  }
  return kRunDone;
}

RunFrame& ScriptRun::Push(RunFrame::Kind kind, int start, int cursor, int depth) {
  depth_ += depth;
  RunFrame& frame = frames_.emplace_back();
  frame.kind = kind;
  frame.start = start;
  frame.cursor = cursor;
  frame.depth = depth;
  return frame;
}

int ScriptRun::Pop(int caller_cursor) {
  depth_ -= frames_.back().depth;
  frames_.pop_back();
  frames_.back().cursor = caller_cursor;
  return kFrameDone;
}

int ScriptRun::NextAtTop(RunFrame& frame) {
  for (;;) {
    if (++frame.cursor >= program_->LineCount() || Stopped()) return kRunDone;
    const LineInfo& line = Info(frame.cursor);
    if (line.text.empty()) continue;
    return line.kind == LineKind::kEnd ? kRunDone : frame.cursor;
  }
}

// A taken branch runs to its endif, or passes on from an else or elseif to the if's endif.
int ScriptRun::NextInIf(RunFrame& frame) {
  const LineInfo& line = At(++frame.cursor);
  if (line.kind == LineKind::kEndIf) return Pop(frame.cursor);
  if (line.kind == LineKind::kElse || line.kind == LineKind::kElseIf) {
    return Pop(Partner(line.pass_end));
  }
  return frame.cursor;
}

// From the else on, lines run; the first endif that no nested block consumed closes the if,
// after it has run as a line itself.
int ScriptRun::NextInElse(RunFrame& frame) {
  if (frame.closing) return Pop(frame.cursor);
  frame.closing = At(++frame.cursor).kind == LineKind::kEndIf;
  return frame.cursor;
}

// A condition that stops evaluating ends the loop instead of spinning on its last value.
int ScriptRun::NextInWhile(RunFrame& frame) {
  for (;;) {
    if (At(++frame.cursor).kind != LineKind::kWend) return frame.cursor;
    if (!ConditionOf(frame.start, frame.result) || !frame.result || break_ || exit_ || Stopped()) {
      break_ = false;
      return Pop(frame.cursor);
    }
    frame.cursor = frame.start;
  }
}

// Only a line beginning with "until (" ends a pass; as with while, a condition that fails to
// evaluate ends the loop.
int ScriptRun::NextInRepeat(RunFrame& frame) {
  for (;;) {
    if (At(++frame.cursor).kind != LineKind::kUntil) return frame.cursor;
    if (!ConditionOf(frame.cursor, frame.result) || frame.result || break_ || exit_ || Stopped()) {
      break_ = false;
      return Pop(frame.cursor);
    }
    frame.cursor = frame.start;
  }
}

// A body runs to the first procend or a pending exit; blank lines are passed over.
int ScriptRun::NextInCall(RunFrame& frame) {
  if (frame.begun) {
    ++frame.cursor;
    if (Stopped()) return Pop(frame.start);
  }
  frame.begun = true;
  for (;;) {
    const LineInfo& line = At(frame.cursor);
    if (!line.text.empty()) {
      if (line.kind != LineKind::kProcEnd && !exit_) return frame.cursor;
      exit_ = false;
      return Pop(frame.start);
    }
    ++frame.cursor;
    if (Stopped()) return Pop(frame.start);
  }
}

}  // namespace orvelle::script
