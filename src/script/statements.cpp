// Statements with arguments that act outside the engine: files and the serial port.
#include "Uscripteng.h"
#include "base/ascii_text.h"
#include "line_analysis.h"
#include "numbers.h"

namespace orvelle::script {

void TExecute::ExecStatement(const LineInfo& info) {
  if (!info.valid) return;
  std::vector<std::string> args;
  args.reserve(info.args.size());
  for (const CompiledExpr& arg : info.args) {
    Value value;
    value.Clear();
    arg.Eval(*this, value);  // the statement uses whatever the evaluation produced
    args.push_back(value.TakeText());
  }
  ClearError();
  SerialAccess& serial = host_->Serial();
  switch (info.row) {
    case Row::kWriteFile: {
      std::string message = host_->Files().AppendFile(args[0], args[1]);
      if (!message.empty()) ReportError(message);
      return;
    }
    case Row::kDeleteFile: {
      std::string message = host_->Files().DeleteFile(args[0]);
      if (!message.empty()) ReportError(message);
      return;
    }
    case Row::kOpenPort: {
      SerialAccess::OpenRequest request{
          base::AsciiUpper(args[0]), args[1], args[2], args[3], args[4], args[5], args[0]};
      if (!serial.OpenPort(request)) ReportError("error opening port");
      return;
    }
    case Row::kClosePort:
      if (!serial.ClosePort()) ReportError("error closing port");
      return;
    case Row::kSend:
      if (!args[0].empty() && !serial.Send(args[0])) ReportError("error sending data");
      return;
    case Row::kFlush: {
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
