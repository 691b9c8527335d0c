// Constant-time comparison of credentials.
#include "credentials.h"

#include <cstddef>

namespace orvelle::webfront {

bool ConstantTimeEquals(std::string_view given, std::string_view expected) {
  unsigned difference = given.size() == expected.size() ? 0u : 1u;
  const std::size_t modulus = expected.empty() ? 1 : expected.size();
  for (std::size_t i = 0; i < given.size(); ++i) {
    // Wrapping over `expected` keeps every step the same cost whatever the lengths.
    const unsigned char against =
        expected.empty() ? 0 : static_cast<unsigned char>(expected[i % modulus]);
    difference |= static_cast<unsigned char>(given[i]) ^ against;
  }
  return difference == 0;
}

bool CredentialsMatch(std::string_view user, std::string_view password,
                      std::string_view expected_user, std::string_view expected_password) {
  const bool user_ok = ConstantTimeEquals(user, expected_user);
  const bool password_ok = ConstantTimeEquals(password, expected_password);
  return user_ok & password_ok;
}

}  // namespace orvelle::webfront
