// Text written into a JSON document as a string: always valid JSON, whatever bytes come in.
#pragma once

#include <string>
#include <string_view>

namespace orvelle::base {

// `text` as a quoted JSON string. Control bytes, '"', '\\', '<', '>', '&', DEL, U+2028 and
// U+2029 become \uXXXX escapes (so the answer stays inert even if a browser sniffs it as HTML);
// bytes that are not well-formed UTF-8 each become U+FFFD.
std::string JsonString(std::string_view text);

}  // namespace orvelle::base
