// Statements with arguments that act outside the engine: files and the serial port.
#include "base/ascii_text.h"
#include "line_analysis.h"
#include "numbers.h"
#include "script_run.h"

namespace orvelle::script {

void ScriptRun::ExecStatement(const LineInfo& info) {
  if (!info.valid) return;
  std::vector<std::string> args;
  args.reserve(info.args.size());
  for (const CompiledExpr& arg : info.args) {
    Value value;
    value.Clear();
    // The statement uses whatever the evaluation produced.
    if (!arg.Eval(*this, value)) ExplainFailure(Cursor());
    args.push_back(value.TakeText());
  }
  ClearError();
  SerialAccess& serial = host_->Serial();
  switch (info.kind) {
    case LineKind::kWriteFile: {
      std::string message = host_->Files().AppendFile(args[0], args[1]);
      if (!message.empty()) ReportError(message);
      return;
    }
    case LineKind::kDeleteFile: {
      std::string message = host_->Files().DeleteFile(args[0]);
      if (!message.empty()) ReportError(message);
      return;
    }
    case LineKind::kOpenPort: {
      SerialAccess::OpenRequest request{
          base::AsciiUpper(args[0]), args[1], args[2], args[3], args[4], args[5]};
      if (!serial.OpenPort(request)) ReportError("error opening port");
      return;
    }
    case LineKind::kClosePort:
      if (!serial.ClosePort()) ReportError("error closing port");
      return;
    case LineKind::kSend:
      if (!args[0].empty() && !serial.Send(args[0])) ReportError("error sending data");
      return;
    case LineKind::kFlush: {
      if (args.empty()) {
        if (!serial.FlushReceived()) ReportError("error flushing buffer");
        return;
      }
      auto count = ParseIntegerText(args[0]);
      if (!count || (*count > 0 && !serial.RemoveReceived(*count))) {
        ReportError("error flushing buffer");
      }
      return;
    }
    default:
      return;
  }
}

}  // namespace orvelle::script
