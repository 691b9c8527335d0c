// ComPortSession: the Telnet side of one RFC 2217 client, without any socket or port. It answers
// option negotiations (COM-PORT-OPTION, BINARY and SUPPRESS-GO-AHEAD accepted, everything else
// refused once), keeps the notification masks and the client's flow-control suspension, and turns
// data and com-port commands into requests that the port's owner carries out in order.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "netport/telnet_parser.h"

namespace orvelle::netport {

// The com-port commands a client sends; the server answers each with its code + 100.
namespace comport {
inline constexpr std::uint8_t kSignature = 0;
inline constexpr std::uint8_t kSetBaudRate = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kNotifyLineState = 6;
inline constexpr std::uint8_t kNotifyModemState = 7;
inline constexpr std::uint8_t kFlowControlSuspend = 8;
inline constexpr std::uint8_t kFlowControlResume = 9;
inline constexpr std::uint8_t kSetLineStateMask = 10;
inline constexpr std::uint8_t kSetModemStateMask = 11;
inline constexpr std::uint8_t kPurgeData = 12;
inline constexpr std::uint8_t kServerOffset = 100;
}  // namespace comport

// One thing the port's owner must do for the client, in the order the client asked.
struct PortRequest {
  enum class Kind : std::uint8_t { kWrite, kCommand };
  Kind kind = Kind::kWrite;
  std::uint8_t command = 0;  // kCommand: a comport:: code that needs the port
  std::uint32_t value = 0;   // its argument (0 asks for the current value)
  std::string bytes;         // kWrite: the bytes for the device
  bool operator==(const PortRequest&) const = default;
};

// A server com-port subnegotiation: IAC SB COM-PORT (command + 100) value IAC SE, the value
// IAC-doubled. `value_size` is 1 or 4 (network byte order).
std::string ComPortAnswer(std::uint8_t command, std::uint32_t value, int value_size = 1);

class ComPortSession {
 public:
  // The server's text for SIGNATURE.
  static constexpr std::string_view kSignature = "orvelle";

  // Handles one event: answers go into `reply`, work for the port into `requests`.
  void Handle(const TelnetEvent& event, std::string& reply, std::vector<PortRequest>& requests);

  // Both sides agreed on COM-PORT-OPTION, so com-port answers and notifications may go out.
  bool ComPortActive() const { return client_will_com_port_ || server_will_com_port_; }
  bool OutputSuspended() const { return suspended_; }
  std::uint8_t ModemStateMask() const { return modem_mask_; }
  std::uint8_t LineStateMask() const { return line_mask_; }

 private:
  void Negotiate(std::uint8_t verb, std::uint8_t option, std::string& reply);
  void ComPort(const std::string& sub, std::string& reply, std::vector<PortRequest>& requests);

  bool client_will_com_port_ = false;   // the client sent WILL COM-PORT-OPTION and we agreed
  bool server_will_com_port_ = false;   // the client sent DO COM-PORT-OPTION and we agreed
  static constexpr int kOurSide = 0;    // DO/DONT: whether we use an option
  static constexpr int kTheirSide = 1;  // WILL/WONT: whether the client does
  std::bitset<256> agreed_[2];          // options answered yes, per side
  std::bitset<256> refused_[2];         // options answered no, so refusals never loop
  bool suspended_ = false;
  std::uint8_t modem_mask_ = 255;  // the protocol's defaults
  std::uint8_t line_mask_ = 0;
};

}  // namespace orvelle::netport
