// The allow-list: which client addresses each list admits, and which texts are no list.
#include "netport/address_allow_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

namespace orvelle::netport {
namespace {

bool Allows(const AddressAllowList& list, const char* address) {
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  if (::inet_pton(AF_INET, address, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    return list.Allows(reinterpret_cast<sockaddr*>(&v4));
  }
  EXPECT_EQ(::inet_pton(AF_INET6, address, &v6.sin6_addr), 1) << address;
  v6.sin6_family = AF_INET6;
  return list.Allows(reinterpret_cast<sockaddr*>(&v6));
}

TEST(AddressAllowList, AdmitsExactlyItsBlocks) {
  struct Case {
    const char* list;
    const char* address;
    bool allowed;
  } cases[] = {
      {"127.0.0.0/8,::1", "127.0.0.1", true},
      {"127.0.0.0/8,::1", "127.255.3.4", true},
      {"127.0.0.0/8,::1", "::ffff:127.0.0.1", true},  // IPv4 on a dual-stack listener
      {"127.0.0.0/8,::1", "::1", true},
      {"127.0.0.0/8,::1", "128.0.0.1", false},
      {"127.0.0.0/8,::1", "::2", false},
      {"127.0.0.0/8,::1", "10.0.0.1", false},
      {" 10.0.0.0/8 , 192.168.1.7", "10.200.1.1", true},
      {"10.0.0.0/8,192.168.1.7", "192.168.1.7", true},
      {"10.0.0.0/8,192.168.1.7", "192.168.1.8", false},
      {"192.168.1.0/25", "192.168.1.127", true},
      {"192.168.1.0/25", "192.168.1.128", false},
      {"fd00::/8", "fd12:3456::1", true},
      {"fd00::/8", "fe80::1", false},
      {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "2001:db8::1", false},  // every IPv4 address, not every address
      {"::/0", "2001:db8::1", true},
  };
  for (const Case& c : cases) {
    std::string error;
    const std::optional<AddressAllowList> list = AddressAllowList::Parse(c.list, error);
    ASSERT_TRUE(list) << c.list << ": " << error;
    EXPECT_EQ(Allows(*list, c.address), c.allowed) << c.list << " / " << c.address;
  }
}

TEST(AddressAllowList, RefusesWhatIsNoList) {
  for (const char* text : {"", "10.0.0.0/33", "::1/129", "10.0.0.0/", "10.0.0.0/8x", "host",
                           "10.0.0.0/8,,::1", "1.2.3"}) {
    std::string error;
    EXPECT_FALSE(AddressAllowList::Parse(text, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  EXPECT_TRUE(Allows(AddressAllowList::Local(), "127.0.0.1"));
  EXPECT_FALSE(Allows(AddressAllowList::Local(), "192.168.0.1"));
}

}  // namespace
}  // namespace orvelle::netport
