// Client text inside a quoted part of a log line: it can neither end the quotes nor the line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvelle::webfront {

// The first `max_bytes` bytes of `text`, with '"', '\' and every control byte (0x00-0x1F, 0x7F)
// written as "\xNN", so a log watcher reads back exactly what the client sent.
std::string QuotedForLog(std::string_view text, std::size_t max_bytes);

}  // namespace orvelle::webfront
