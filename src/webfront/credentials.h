// Comparing Basic credentials without leaking, through timing, how much of a guess was right.
#pragma once

#include <string_view>

namespace orvelle::webfront {

// True when the texts are equal byte for byte. The time taken depends only on the length of
// `given`, never on where it first differs from `expected` nor on the length of `expected`.
bool ConstantTimeEquals(std::string_view given, std::string_view expected);

// Both comparisons always run, so a right user name is not revealed by a slower answer.
bool CredentialsMatch(std::string_view user, std::string_view password,
                      std::string_view expected_user, std::string_view expected_password);

}  // namespace orvelle::webfront
