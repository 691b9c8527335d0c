// Negotiation answers only on a change of state, so two peers never echo each other forever.
#include "netport/com_port_session.h"

namespace orvelle::netport {

using namespace telnet;

namespace {

std::string Command(std::uint8_t verb, std::uint8_t option) {
  return {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

bool Accepted(std::uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

std::uint32_t ValueOf(const std::string& sub) {
  std::uint32_t value = 0;
  for (std::size_t i = 1; i < sub.size() && i <= 4; ++i) {
    value = value << 8 | static_cast<std::uint8_t>(sub[i]);
  }
  return value;
}

}  // namespace

std::string ComPortAnswer(std::uint8_t command, std::uint32_t value, int value_size) {
  std::string out{static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(kComPort),
                  static_cast<char>(command + comport::kServerOffset)};
  std::string bytes;
  for (int shift = (value_size - 1) * 8; shift >= 0; shift -= 8) {
    bytes.push_back(static_cast<char>(value >> shift & 0xff));
  }
  AppendEscaped(bytes, out);
  out.push_back(static_cast<char>(kIac));
  out.push_back(static_cast<char>(kSe));
  return out;
}

void ComPortSession::Handle(const TelnetEvent& event, std::string& reply,
                            std::vector<PortRequest>& requests) {
  switch (event.kind) {
    case TelnetEvent::Kind::kData:
      requests.push_back({PortRequest::Kind::kWrite, 0, 0, event.bytes});
      return;
    case TelnetEvent::Kind::kNegotiation:
      Negotiate(event.verb, event.option, reply);
      return;
    case TelnetEvent::Kind::kSubnegotiation:
      if (event.option == kComPort && !event.bytes.empty() && ComPortActive()) {
        ComPort(event.bytes, reply, requests);
      }
      return;
  }
}

// WILL/DO of an option we take is agreed once; WONT/DONT is acknowledged once; everything else
// is refused once. ECHO is refused too: a serial line echoes nothing on the server's behalf.
void ComPortSession::Negotiate(std::uint8_t verb, std::uint8_t option, std::string& reply) {
  const int side = verb == kDo || verb == kDont ? kOurSide : kTheirSide;
  const bool agree = (verb == kWill || verb == kDo) && Accepted(option);
  const bool changed = agree ? !agreed_[side][option] : !refused_[side][option];
  agreed_[side][option] = agree;
  refused_[side][option] = !agree;
  if (changed) {
    const std::uint8_t answer = side == kOurSide ? (agree ? kWill : kWont) : (agree ? kDo : kDont);
    reply += Command(answer, option);
  }
  if (option == kComPort) {
    (side == kOurSide ? server_will_com_port_ : client_will_com_port_) = agree;
  }
}

void ComPortSession::ComPort(const std::string& sub, std::string& reply,
                             std::vector<PortRequest>& requests) {
  const auto command = static_cast<std::uint8_t>(sub[0]);
  const std::uint32_t value = ValueOf(sub);
  switch (command) {
    case comport::kSignature: {
      if (sub.size() > 1) return;  // the client's own signature: nothing to answer
      std::string answer = ComPortAnswer(command, 0, 0);
      answer.insert(4, EscapeIac(kSignature));
      reply += answer;
      return;
    }
    case comport::kFlowControlSuspend:
    case comport::kFlowControlResume:
      suspended_ = command == comport::kFlowControlSuspend;
      reply += ComPortAnswer(command, 0, 0);
      return;
    case comport::kSetLineStateMask:
      line_mask_ = static_cast<std::uint8_t>(value);
      reply += ComPortAnswer(command, line_mask_);
      return;
    case comport::kSetModemStateMask:
      modem_mask_ = static_cast<std::uint8_t>(value);
      reply += ComPortAnswer(command, modem_mask_);
      return;
    case comport::kSetBaudRate:
    case comport::kSetDataSize:
    case comport::kSetParity:
    case comport::kSetStopSize:
    case comport::kSetControl:
    case comport::kNotifyLineState:
    case comport::kNotifyModemState:
    case comport::kPurgeData:
      requests.push_back({PortRequest::Kind::kCommand, command, value, {}});
      return;
    default:
      return;  // a command this protocol does not have
  }
}

}  // namespace orvelle::netport
