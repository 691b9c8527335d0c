// The client addresses a TCP serial client may connect from: a list of CIDR blocks, IPv4 and
// IPv6. An IPv4 client reaching a dual-stack listener (::ffff:a.b.c.d) is matched as IPv4.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sockaddr;

namespace orvelle::netport {

class AddressAllowList {
 public:
  // The blocks nobody needs to configure: this machine only.
  static constexpr std::string_view kDefault = "127.0.0.0/8,::1";
  // A list longer than this is a mistake, not a network plan.
  static constexpr std::size_t kMaxBlocks = 64;

  // "10.0.0.0/8,::1,192.168.1.7": comma-separated, blanks around items ignored; a bare address
  // is a block of one. Nothing on a malformed item, with `error` naming it.
  static std::optional<AddressAllowList> Parse(std::string_view text, std::string& error);

  // 127.0.0.0/8 and ::1.
  static AddressAllowList Local();

  // The address as the kernel gave it (AF_INET or AF_INET6).
  bool Allows(const sockaddr* address) const;
  // The same for a 16-byte address (IPv4 given as ::ffff:a.b.c.d).
  bool Allows(const std::array<std::uint8_t, 16>& address) const;

 private:
  struct Block {
    std::array<std::uint8_t, 16> prefix{};  // IPv4 kept as ::ffff:a.b.c.d
    int bits = 0;                           // of the 128
  };
  static std::optional<Block> ParseBlock(std::string_view item);

  std::vector<Block> blocks_;
};

// The text form of a client's address (no port), for the log.
std::string AddressText(const sockaddr* address);
// The address and port, "127.0.0.1:5000" or "[::1]:5000".
std::string PeerText(const sockaddr* address);

}  // namespace orvelle::netport
