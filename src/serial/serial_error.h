// ESerialPort: the port component's exception, a fixed code and text plus the system's errno.
#pragma once

#include <stdexcept>
#include <string>

namespace orvelle::serial {

// The codes keep their numbers; 6, 12, 13 and 15 to 23 belong to operations not offered here.
enum class SerialErrorCode {
  kOpen = 1,
  kWrite = 2,
  kRead = 3,
  kAsync = 4,
  kPurge = 5,
  kSetState = 7,
  kSetTimeouts = 8,
  kSetupQueues = 9,
  kClearError = 10,
  kModemStatus = 11,
  kConnectedProperty = 14,
};

// The fixed message text of a code.
std::string SerialErrorText(SerialErrorCode code);

class ESerialPort : public std::runtime_error {
 public:
  // system_code is errno, or -1 when the failure has no system error.
  ESerialPort(SerialErrorCode code, int system_code);

  int Code() const { return static_cast<int>(code_); }
  int SystemCode() const { return system_code_; }

 private:
  SerialErrorCode code_;
  int system_code_;
};

}  // namespace orvelle::serial
