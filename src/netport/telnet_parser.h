// TelnetParser: the Telnet byte stream of an RFC 2217 client taken apart into data, option
// negotiations and subnegotiations. A state machine fed bytes in any chunks; it never blocks and
// keeps at most one subnegotiation's bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvelle::netport {

namespace telnet {
inline constexpr std::uint8_t kSe = 240;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kBinary = 0;
inline constexpr std::uint8_t kEcho = 1;
inline constexpr std::uint8_t kSuppressGoAhead = 3;
inline constexpr std::uint8_t kComPort = 44;
}  // namespace telnet

struct TelnetEvent {
  enum class Kind : std::uint8_t { kData, kNegotiation, kSubnegotiation };
  Kind kind = Kind::kData;
  std::uint8_t verb = 0;    // kNegotiation: WILL, WONT, DO or DONT
  std::uint8_t option = 0;  // kNegotiation and kSubnegotiation
  std::string bytes;        // data, or the subnegotiation after its option byte, IAC undoubled
  bool operator==(const TelnetEvent&) const = default;
};

class TelnetParser {
 public:
  // The longest com-port subnegotiation is a short signature text; longer ones are dropped.
  static constexpr std::size_t kMaxSubnegotiation = 256;

  // Appends the events in `bytes` to `out`; data directly after data joins its event.
  void Feed(std::string_view bytes, std::vector<TelnetEvent>& out);

 private:
  enum class State : std::uint8_t { kData, kIac, kVerb, kSbOption, kSb, kSbIac };
  void Step(std::uint8_t byte, std::vector<TelnetEvent>& out);
  void AddSubByte(std::uint8_t byte);
  void EndSubnegotiation(std::vector<TelnetEvent>& out);

  State state_ = State::kData;
  std::uint8_t verb_ = 0;
  std::uint8_t option_ = 0;
  std::string sub_;
  bool sub_too_long_ = false;
};

// `data` with every IAC doubled, as the client must get the port's bytes.
std::string EscapeIac(std::string_view data);
void AppendEscaped(std::string_view data, std::string& out);

}  // namespace orvelle::netport
