// Procedures (called by writing the name alone on a line) and the echo statement.
#include "Uscripteng.h"
#include "line_analysis.h"

namespace orvelle::script {

void TExecute::CallProc(int header) {
  int k = header + 1;
  for (;;) {
    std::string_view line = ReadLine(k);
    if (!line.empty()) {
      if (line == "procend" || exit_) {
        exit_ = false;
        return;
      }
      ExecLineAt(k, k);
    }
    ++k;
    if (Stopped()) return;
  }
}

void TExecute::SkipDefinition(const LineInfo& info, int& pc) {
  if (info.procend >= 0) pc = info.procend;
}

void TExecute::ExecEcho(const LineInfo& info) {
  if (!info.valid) return;
  Value value;
  value.Clear();
  info.args[0].Eval(*this, value);  // a failed evaluation still echoes what it had produced
  ClearError();
  host_->AppendOutput(value.TakeText());
}

}  // namespace orvelle::script
