// Text that travels from clients and devices into logs, consoles and windows, made inert.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvelle::base {

// Every control byte (0x00-0x1F and 0x7F) becomes "\xNN" (two upper-case hex digits), so a
// logged text cannot split or forge log lines or send escape sequences to a terminal. All other
// bytes, backslash included, stay as they are.
std::string EscapeControlBytes(std::string_view text);

// True when the text holds a byte that EscapeControlBytes would rewrite.
bool HasControlBytes(std::string_view text);

// The text itself when it has at most `limit` bytes; else its first `limit` bytes followed by
// "...(N more bytes)", so a client cannot make one log line as long as it likes.
std::string CutForLog(std::string_view text, std::size_t limit);

}  // namespace orvelle::base
