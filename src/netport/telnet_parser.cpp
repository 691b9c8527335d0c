// The parser's states follow the bytes: data, IAC, a negotiation verb's option, and a
// subnegotiation with its own IAC escape.
#include "netport/telnet_parser.h"

namespace orvelle::netport {

using namespace telnet;

void TelnetParser::Feed(std::string_view bytes, std::vector<TelnetEvent>& out) {
  for (const char c : bytes) Step(static_cast<std::uint8_t>(c), out);
}

namespace {
void AppendData(char byte, std::vector<TelnetEvent>& out) {
  if (out.empty() || out.back().kind != TelnetEvent::Kind::kData) out.emplace_back();
  out.back().bytes.push_back(byte);
}
}  // namespace

void TelnetParser::Step(std::uint8_t byte, std::vector<TelnetEvent>& out) {
  switch (state_) {
    case State::kData:
      if (byte == kIac) {
        state_ = State::kIac;
      } else {
        AppendData(static_cast<char>(byte), out);
      }
      return;
    case State::kIac:
      state_ = State::kData;
      if (byte == kIac) {
        AppendData(static_cast<char>(byte), out);
      } else if (byte >= kWill && byte <= kDont) {
        verb_ = byte;
        state_ = State::kVerb;
      } else if (byte == kSb) {
        state_ = State::kSbOption;
      }
      return;  // other commands (NOP, AYT, GA, a stray SE) mean nothing to a serial line
    case State::kVerb:
      out.push_back({TelnetEvent::Kind::kNegotiation, verb_, byte, {}});
      state_ = State::kData;
      return;
    case State::kSbOption:
      option_ = byte;
      sub_.clear();
      sub_too_long_ = false;
      state_ = State::kSb;
      return;
    case State::kSb:
      if (byte == kIac) {
        state_ = State::kSbIac;
      } else {
        AddSubByte(byte);
      }
      return;
    case State::kSbIac:
      state_ = State::kSb;
      if (byte == kSe) {
        EndSubnegotiation(out);
      } else if (byte == kIac) {
        AddSubByte(byte);
      }
      return;  // IAC and another command inside a subnegotiation: the command is ignored
  }
}

void TelnetParser::AddSubByte(std::uint8_t byte) {
  if (sub_.size() < kMaxSubnegotiation) {
    sub_.push_back(static_cast<char>(byte));
  } else {
    sub_too_long_ = true;
  }
}

void TelnetParser::EndSubnegotiation(std::vector<TelnetEvent>& out) {
  state_ = State::kData;
  if (!sub_too_long_) out.push_back({TelnetEvent::Kind::kSubnegotiation, 0, option_, sub_});
  sub_.clear();
}

void AppendEscaped(std::string_view data, std::string& out) {
  std::size_t from = 0;
  for (std::size_t at = data.find(static_cast<char>(kIac)); at != std::string_view::npos;
       at = data.find(static_cast<char>(kIac), from)) {
    out.append(data.substr(from, at + 1 - from));
    out.push_back(static_cast<char>(kIac));
    from = at + 1;
  }
  out.append(data.substr(from));
}

std::string EscapeIac(std::string_view data) {
  std::string out;
  out.reserve(data.size());
  AppendEscaped(data, out);
  return out;
}

}  // namespace orvelle::netport
