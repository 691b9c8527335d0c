// Procedures (called by writing the name alone on a line), lines run out of place, and echo.
#include "line_analysis.h"
#include "script_run.h"

namespace orvelle::script {

void ScriptRun::Call(int k, int header) {
  Push(RunFrame::Kind::kCall, k, header + 1, 1);
}

void ScriptRun::SkipDefinition(const LineInfo& info) {
  if (info.procend >= 0) frames_.back().cursor = info.procend;
}

// A blank or closing line run as a line: a call when a procedure has its name, else an
// assignment of its text.
void ScriptRun::ExecPlainLine(int k, const LineInfo& info) {
  if (info.procedure >= 0) {
    Call(k, info.procedure);
  } else {
    ExecAssignment(info);
  }
}

void ScriptRun::ExecEcho(const LineInfo& info) {
  if (!info.valid) return;
  Value value;
  value.Clear();
  // A failed evaluation still echoes what it had produced.
  if (!info.args[0].Eval(*this, value)) ExplainFailure(Cursor());
  ClearError();
  host_->AppendOutput(value.TakeText());
}

}  // namespace orvelle::script
