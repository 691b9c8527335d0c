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
    if (abort_.load(std::memory_order_relaxed)) return;
  }
}

void TExecute::SkipDefinition(LineInfo& info, int& pc) {
  auto scan = [this, pc] {
    const int count = static_cast<int>(program_.size());
    for (int k = pc; k < count; ++k) {
      if (Trim(program_[k]) == "procend") return k;
    }
    return -1;
  };
  int target;
  if (mode_ == Mode::kFast) {
    if (!info.procend) info.procend = scan();
    target = *info.procend;
  } else {
    target = scan();
  }
  if (target >= 0) pc = target;
}

void TExecute::ExecEcho(LineInfo& info) {
  if (!info.valid) return;
  Value value;
  value.Clear();
  info.args[0].Eval(*this, value);  // a failed evaluation still echoes what it had produced
  ClearError();
  host_->AppendOutput(value.TakeText());
}

}  // namespace orvelle::script
