// An IPv4 address as dotted decimal ("127.0.0.1"), written by hand: every connection's peer is
// turned into text, and the C library's conversion goes through its formatted printing.
#pragma once

#include <cstdint>
#include <string>

namespace orvelle::http {

// `bytes` in network order, as in in_addr and the last four bytes of a mapped IPv6 address.
inline std::string IPv4Text(const std::uint8_t* bytes) {
  std::string text;
  text.reserve(15);  // "255.255.255.255"
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text.push_back('.');
    const unsigned value = bytes[i];
    if (value >= 100) text.push_back(static_cast<char>('0' + value / 100));
    if (value >= 10) text.push_back(static_cast<char>('0' + value / 10 % 10));
    text.push_back(static_cast<char>('0' + value % 10));
  }
  return text;
}

}  // namespace orvelle::http
