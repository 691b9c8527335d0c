// Text placed into an HTML page as text, never as markup.
#pragma once

#include <string>
#include <string_view>

namespace orvelle::base {

// "&", "<", ">", '"' and "'" become character references; every other byte stays.
std::string EscapeHtml(std::string_view text);

}  // namespace orvelle::base
