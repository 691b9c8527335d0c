// Secrets a client must not be able to guess.
#pragma once

#include <string>

namespace orvelle::base {

// 128 bits from the kernel's random source (getrandom), as 32 lower-case hex digits. Throws
// std::system_error if the kernel cannot provide them.
std::string RandomToken();

}  // namespace orvelle::base
