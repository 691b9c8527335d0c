// Reason phrases for HTTP status codes, as the server writes them in status lines.
#pragma once

#include <string>

namespace orvelle::http {

// The reason phrase for `code`, or "Unknown Response Code" for a number not in the table.
std::string StatusText(int code);

}  // namespace orvelle::http
