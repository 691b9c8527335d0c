// libFuzzer target: the Telnet parser and the com-port session on any client bytes: the same
// events whether the bytes come whole or split at the first byte's value, no subnegotiation
// longer than the bound, and every data byte written back IAC-doubled parses to itself.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "netport/com_port_session.h"
#include "netport/telnet_parser.h"

namespace {

using orvelle::netport::TelnetEvent;

std::vector<TelnetEvent> Joined(const std::vector<TelnetEvent>& events) {
  std::vector<TelnetEvent> out;
  for (const TelnetEvent& event : events) {
    if (event.kind == TelnetEvent::Kind::kData && !out.empty() &&
        out.back().kind == TelnetEvent::Kind::kData) {
      out.back().bytes += event.bytes;
    } else {
      out.push_back(event);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace orvelle::netport;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  TelnetParser whole_parser;
  std::vector<TelnetEvent> whole;
  whole_parser.Feed(input, whole);
  const std::size_t step = size == 0 ? 1 : 1 + data[0] % 13;
  TelnetParser split_parser;
  std::vector<TelnetEvent> split;
  for (std::size_t at = 0; at < size; at += step) split_parser.Feed(input.substr(at, step), split);
  if (Joined(whole) != Joined(split)) std::abort();
  ComPortSession session;
  std::string reply;
  std::vector<PortRequest> requests;
  for (const TelnetEvent& event : whole) {
    if (event.bytes.size() > TelnetParser::kMaxSubnegotiation &&
        event.kind == TelnetEvent::Kind::kSubnegotiation) {
      std::abort();
    }
    session.Handle(event, reply, requests);
  }
  TelnetParser echo_parser;
  std::vector<TelnetEvent> echoed;
  echo_parser.Feed(EscapeIac(input), echoed);
  if (!input.empty() && (echoed.size() != 1 || echoed[0].bytes != input)) std::abort();
  return 0;
}
