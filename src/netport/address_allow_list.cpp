// CIDR blocks parsed with inet_pton and matched bit by bit on the 16-byte form.
#include "netport/address_allow_list.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>

#include "base/ascii_text.h"

namespace orvelle::netport {
namespace {

constexpr int kIpv4MappedBits = 96;  // ::ffff:0:0/96 holds the IPv4 addresses

std::array<std::uint8_t, 16> Mapped(const in_addr& v4) {
  std::array<std::uint8_t, 16> out{};
  out[10] = out[11] = 0xff;
  std::memcpy(out.data() + 12, &v4, 4);
  return out;
}

bool PrefixMatches(const std::array<std::uint8_t, 16>& a, const std::array<std::uint8_t, 16>& b,
                   int bits) {
  for (int i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
    const int mask = bits >= 8 ? 0xff : (0xff << (8 - bits)) & 0xff;
    if (((a[i] ^ b[i]) & mask) != 0) return false;
  }
  return true;
}

std::optional<int> ParseBits(std::string_view text, int most) {
  int value = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value < 0 ||
      value > most) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<AddressAllowList::Block> AddressAllowList::ParseBlock(std::string_view item) {
  const std::size_t slash = item.find('/');
  const std::string address(item.substr(0, slash));
  Block block;
  in_addr v4{};
  in6_addr v6{};
  int most = 0;
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    block.prefix = Mapped(v4);
    most = 32;
  } else if (::inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
    std::memcpy(block.prefix.data(), &v6, 16);
    most = 128;
  } else {
    return std::nullopt;
  }
  std::optional<int> bits = most;
  if (slash != std::string_view::npos) bits = ParseBits(item.substr(slash + 1), most);
  if (!bits) return std::nullopt;
  block.bits = *bits + (most == 32 ? kIpv4MappedBits : 0);
  return block;
}

std::optional<AddressAllowList> AddressAllowList::Parse(std::string_view text, std::string& error) {
  AddressAllowList list;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = base::TrimBlanksAndControls(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    const std::optional<Block> block = ParseBlock(item);
    if (!block) {
      error = "not an address or address/bits: \"" + std::string(item) + "\"";
      return std::nullopt;
    }
    if (list.blocks_.size() == kMaxBlocks) {
      error = "more than " + std::to_string(kMaxBlocks) + " address blocks";
      return std::nullopt;
    }
    list.blocks_.push_back(*block);
  }
  if (list.blocks_.empty()) {
    error = "no address given";
    return std::nullopt;
  }
  return list;
}

AddressAllowList AddressAllowList::Local() {
  std::string unused;
  return *Parse(kDefault, unused);
}

bool AddressAllowList::Allows(const std::array<std::uint8_t, 16>& address) const {
  for (const Block& block : blocks_) {
    if (PrefixMatches(address, block.prefix, block.bits)) return true;
  }
  return false;
}

bool AddressAllowList::Allows(const sockaddr* address) const {
  if (address->sa_family == AF_INET) {
    return Allows(Mapped(reinterpret_cast<const sockaddr_in*>(address)->sin_addr));
  }
  if (address->sa_family != AF_INET6) return false;
  std::array<std::uint8_t, 16> bytes{};
  std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
  return Allows(bytes);
}

std::string AddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                sizeof text);
    return text;
  }
  const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    ::inet_ntop(AF_INET, v6.s6_addr + 12, text, sizeof text);
    return text;
  }
  ::inet_ntop(AF_INET6, &v6, text, sizeof text);
  return text;
}

std::string PeerText(const sockaddr* address) {
  const std::string host = AddressText(address);
  const bool v6 = address->sa_family == AF_INET6 && host.find(':') != std::string::npos;
  const in_port_t port = address->sa_family == AF_INET
                             ? reinterpret_cast<const sockaddr_in*>(address)->sin_port
                             : reinterpret_cast<const sockaddr_in6*>(address)->sin6_port;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(ntohs(port));
}

}  // namespace orvelle::netport
