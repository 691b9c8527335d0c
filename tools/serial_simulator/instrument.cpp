// The command table of the simulated instrument.
#include "instrument.h"

namespace orvelle::tools {

Reply Answer(const std::string& line) {
  if (line == "*IDN?") return {Reply::Kind::kDelayed, "ORVELLE,SIMULATOR,0,1.0\r\n"};
  if (line == "PING") return {Reply::Kind::kDelayed, "PONG\r\n"};
  if (line == "STREAM ON") return {Reply::Kind::kStreamOn, "OK\r\n"};
  if (line == "STREAM OFF") return {Reply::Kind::kStreamOff, "OK\r\n"};
  if (line == "HANGUP") return {Reply::Kind::kHangUp, {}};
  return {Reply::Kind::kEcho, line + "\r\n"};
}

}  // namespace orvelle::tools
