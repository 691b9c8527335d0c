// Differential: the hand-written IPv4 text against the C library's conversion, for every value
// of each byte and many whole addresses.
#include "http/ipv4_text.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <random>

namespace orvelle::http {
namespace {

std::string LibraryText(const std::array<std::uint8_t, 4>& bytes) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, bytes.data(), text, sizeof text);
  return text;
}

TEST(IPv4TextTest, AgreesWithTheLibrary) {
  for (unsigned value = 0; value < 256; ++value) {
    for (std::size_t at = 0; at < 4; ++at) {
      std::array<std::uint8_t, 4> bytes = {127, 0, 0, 1};
      bytes[at] = static_cast<std::uint8_t>(value);
      ASSERT_EQ(IPv4Text(bytes.data()), LibraryText(bytes)) << value << " at " << at;
    }
  }
  std::mt19937 random(4);
  for (int i = 0; i < 10000; ++i) {
    const std::uint32_t word = random();
    const std::array<std::uint8_t, 4> bytes = {
        static_cast<std::uint8_t>(word >> 24), static_cast<std::uint8_t>(word >> 16),
        static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)};
    ASSERT_EQ(IPv4Text(bytes.data()), LibraryText(bytes));
  }
  EXPECT_EQ(IPv4Text(std::array<std::uint8_t, 4>{255, 255, 255, 255}.data()), "255.255.255.255");
}

}  // namespace
}  // namespace orvelle::http
