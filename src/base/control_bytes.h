// Text that travels from clients and devices into logs, consoles and windows, made inert.
#pragma once

#include <string>
#include <string_view>

namespace orvelle::base {

// Every control byte (0x00-0x1F and 0x7F) becomes "\xNN" (two upper-case hex digits), so a
// logged text cannot split or forge log lines or send escape sequences to a terminal. All other
// bytes, backslash included, stay as they are.
std::string EscapeControlBytes(std::string_view text);

// True when the text holds a byte that EscapeControlBytes would rewrite.
bool HasControlBytes(std::string_view text);

}  // namespace orvelle::base
