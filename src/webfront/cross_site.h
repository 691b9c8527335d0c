// Whether a request was sent by a browser on behalf of another site. Such a request may carry
// the visitor's credentials and session cookie, so it must not drive a script page.
#pragma once

#include "http/request_info.h"

namespace orvelle::webfront {

// True when the browser says the request comes from another site ("Sec-Fetch-Site:
// cross-site"), except a plain top-level navigation (GET, "Sec-Fetch-Mode: navigate", no query,
// no body), so a link to a page still works. A browser without fetch metadata is judged by its
// "Origin": one whose host and port differ from "Host" is cross-site. A request with neither
// header (a program, not a browser) is not.
bool IsCrossSiteRequest(const http::THTTPRequestInfo& request);

}  // namespace orvelle::webfront
