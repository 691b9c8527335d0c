// Messages of ESerialPort.
#include "serial/serial_error.h"

#include <fmt/core.h>

namespace orvelle::serial {

std::string SerialErrorText(SerialErrorCode code) {
  switch (code) {
    case SerialErrorCode::kOpen:
      return "Unable to open com port";
    case SerialErrorCode::kWrite:
      return "WriteFile function failed";
    case SerialErrorCode::kRead:
      return "ReadFile function failed";
    case SerialErrorCode::kAsync:
      return "Invalid Async parameter";
    case SerialErrorCode::kPurge:
      return "PurgeComm function failed";
    case SerialErrorCode::kSetState:
      return "SetCommState function failed";
    case SerialErrorCode::kSetTimeouts:
      return "SetCommTimeouts failed";
    case SerialErrorCode::kSetupQueues:
      return "SetupComm function failed";
    case SerialErrorCode::kClearError:
      return "ClearCommError function failed";
    case SerialErrorCode::kModemStatus:
      return "GetCommModemStatus function failed";
    case SerialErrorCode::kConnectedProperty:
      return "Cannot set property while connected";
  }
  return {};
}

namespace {

std::string Message(SerialErrorCode code, int system_code) {
  std::string text = SerialErrorText(code);
  if (system_code != -1) text += fmt::format(" (system error code: {})", system_code);
  return text;
}

}  // namespace

ESerialPort::ESerialPort(SerialErrorCode code, int system_code)
    : std::runtime_error(Message(code, system_code)), code_(code), system_code_(system_code) {}

}  // namespace orvelle::serial
