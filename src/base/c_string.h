// Text handed to a C interface (a file name, a device, a library call) ends at its first NUL
// there; a text that holds one would name something other than what its checks saw.
#pragma once

#include <string_view>

namespace orvelle::base {

// True when the text holds no NUL byte, so a C interface sees all of it.
inline bool FitsCString(std::string_view text) {
  return text.find('\0') == std::string_view::npos;
}

}  // namespace orvelle::base
