// Whether a request was sent by a browser on behalf of another origin. Such a request may carry
// the visitor's credentials and session cookie, so it must not drive a script page.
#pragma once

#include "http/request_info.h"

namespace orvelle::webfront {

// True when the browser says a page of another origin made the request ("Sec-Fetch-Site:
// cross-site" or "same-site": another port of this host or a sibling name is another origin
// too). A browser without fetch metadata is judged by its "Origin": one whose host and port
// differ from "Host" is another origin. A request with neither header (a program, not a
// browser) is not.
bool IsCrossSiteRequest(const http::THTTPRequestInfo& request);

// True for a GET that loads a whole tab or window ("Sec-Fetch-Dest: document"): a link the
// visitor followed, which may be offered a page to continue from. A frame is never one.
bool IsTopLevelNavigation(const http::THTTPRequestInfo& request);

}  // namespace orvelle::webfront
