// Where a plain-HTTP request is sent when the server is to be reached over HTTPS only.
#pragma once

#include <string>
#include <string_view>

namespace orvelle::http {

// A Host longer than this is no host name (DNS names stop at 253 bytes).
inline constexpr std::size_t kMaxHostLength = 253;

// The https URL of `target` on `https_port`. The host is the Host header's without its port
// when it holds nothing but host-name characters (or a bracketed IPv6 literal), otherwise
// `fallback_host` (the address the request came in on). The path is the target's (also of an
// absolute-form target), bytes outside printable ASCII and URL delimiters percent-encoded.
std::string HttpsLocation(std::string_view host_header, std::string_view fallback_host,
                          int https_port, std::string_view target);

}  // namespace orvelle::http
