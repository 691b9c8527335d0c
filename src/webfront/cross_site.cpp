// The cross-site test on fetch metadata and Origin.
#include "cross_site.h"

#include "base/ascii_text.h"
#include "http/header_list.h"

namespace orvelle::webfront {
namespace {

// "scheme://host[:port]" without the scheme; empty when the text is not of that form (the
// browser sends "null" for opaque origins, which then never matches a Host).
std::string_view OriginAuthority(std::string_view origin) {
  const auto scheme_end = origin.find("://");
  if (scheme_end == std::string_view::npos) return {};
  std::string_view rest = origin.substr(scheme_end + 3);
  return rest.substr(0, rest.find('/'));
}

// Host names compare without regard to case; the port must be written the same way.
bool SameAuthority(std::string_view a, std::string_view b) {
  return !a.empty() && base::EqualsIgnoreCase(a, b);
}

}  // namespace

bool IsCrossSiteRequest(const http::THTTPRequestInfo& request) {
  const std::string site = request.Headers.Value("Sec-Fetch-Site");
  if (!site.empty()) {
    return base::EqualsIgnoreCase(site, "cross-site") || base::EqualsIgnoreCase(site, "same-site");
  }
  if (request.Headers.Extract("Origin").empty()) return false;
  return !SameAuthority(OriginAuthority(request.Headers.Value("Origin")),
                        request.Headers.Value("Host"));
}

bool IsTopLevelNavigation(const http::THTTPRequestInfo& request) {
  return request.Command == "GET" &&
         base::EqualsIgnoreCase(request.Headers.Value("Sec-Fetch-Dest"), "document");
}

}  // namespace orvelle::webfront
