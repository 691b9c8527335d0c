// Session tokens from getrandom.
#include "base/random_token.h"

#include <sys/random.h>

#include <cerrno>
#include <system_error>

namespace orvelle::base {
namespace {
constexpr std::size_t kTokenBytes = 16;  // 128 bits: far beyond any guessing over a network
}  // namespace

std::string RandomToken() {
  unsigned char bytes[kTokenBytes];
  std::size_t got = 0;
  while (got < kTokenBytes) {
    const ssize_t n = ::getrandom(bytes + got, kTokenBytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "getrandom");
    got += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 0xF];
  }
  return token;
}

}  // namespace orvelle::base
