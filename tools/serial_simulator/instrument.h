// The simulated instrument's replies: a pure function of one received line, so the protocol is
// readable in one place.
#pragma once

#include <string>

namespace orvelle::tools {

struct Reply {
  enum class Kind { kEcho, kDelayed, kStreamOn, kStreamOff, kHangUp } kind = Kind::kEcho;
  std::string text;  // what to send, CR LF included
};

// Commands (case-sensitive, without the line end): "*IDN?" and "PING" answer after the
// configured delay; "STREAM ON"/"STREAM OFF" switch the continuous stream; "HANGUP" drops the
// line and brings up a new one. Anything else is echoed at once.
Reply Answer(const std::string& line);

}  // namespace orvelle::tools
