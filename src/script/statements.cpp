// Statements with arguments that act outside the engine: files and the serial port.
#include "base/ascii_text.h"
#include "line_analysis.h"
#include "numbers.h"
#include "script_run.h"

namespace orvelle::script {

namespace {

// What a statement's work failed with, as its error message; empty when it succeeded.
std::string FileStatement(FileAccess& files, LineKind kind, const std::vector<std::string>& args) {
  return kind == LineKind::kWriteFile ? files.AppendFile(args[0], args[1])
                                      : files.DeleteFile(args[0]);
}

std::string FlushStatement(SerialAccess& serial, const std::vector<std::string>& args) {
  if (args.empty()) return serial.FlushReceived() ? "" : "error flushing buffer";
  auto count = ParseIntegerText(args[0]);
  if (!count || (*count > 0 && !serial.RemoveReceived(*count))) return "error flushing buffer";
  return "";
}

std::string PortStatement(SerialAccess& serial, LineKind kind,
                          const std::vector<std::string>& args) {
  switch (kind) {
    case LineKind::kOpenPort: {
      SerialAccess::OpenRequest request{
          base::AsciiUpper(args[0]), args[1], args[2], args[3], args[4], args[5], args[0]};
      return serial.OpenPort(request) ? "" : "error opening port";
    }
    case LineKind::kClosePort:
      return serial.ClosePort() ? "" : "error closing port";
    case LineKind::kSend:
      return args[0].empty() || serial.Send(args[0]) ? "" : "error sending data";
    case LineKind::kFlush:
      return FlushStatement(serial, args);
    default:
      return "";
  }
}

}  // namespace

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
  const bool file = info.kind == LineKind::kWriteFile || info.kind == LineKind::kDeleteFile;
  std::string message = file ? FileStatement(host_->Files(), info.kind, args)
                             : PortStatement(host_->Serial(), info.kind, args);
  if (!message.empty()) ReportError(message);
}

}  // namespace orvelle::script
