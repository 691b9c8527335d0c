// The status's counts and the reason of a failed open.
#include "app/api_port_access.h"

#include <cerrno>
#include <system_error>

namespace orvelle::app {

webfront::PortFacts ApiPortAccess::Facts() {
  webfront::PortFacts facts = access_.Facts();
  facts.received = pump_.ReceivedBytes();
  facts.sent = access_.SentBytes();
  return facts;
}

// The same words as the log line of the failure, so a program shows what an operator reads.
std::string ApiPortAccess::Open(const script::SerialAccess::OpenRequest& request) {
  int failure = 0;
  if (access_.OpenPort(request, failure)) return {};
  if (failure == ENOTTY) return "not a serial port";
  std::string reason =
      report_.FailureReason(request.written.empty() ? request.port : request.written);
  if (!reason.empty()) return reason;
  if (failure != 0) return std::system_category().message(failure);
  return "the device refused the line settings";
}

}  // namespace orvelle::app
