// Text placed into an HTML page as text, never as markup.
#pragma once

#include <string>
#include <string_view>

namespace orvelle::base {

// "&", "<", ">", '"', "'", "(" and ")" become character references; every other byte stays.
// Without quotes and parentheses the result can also be put into a script expression as text.
std::string EscapeHtml(std::string_view text);

}  // namespace orvelle::base
