// The server's own endpoints under /.orvelle/: outside the web folder's namespace, behind the same
// authentication and session rule as any request. Only the port list exists so far.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "http/response_info.h"

namespace orvelle::webfront {

// True for "/.orvelle" and everything below it, given the path below the web folder with "."
// and ".." resolved (so "/x/../.orvelle/ports" is the endpoint too, as it would be the file).
bool IsOwnEndpoint(std::string_view path_below_web);

// What the endpoints answer with; an empty function answers as an unknown endpoint.
struct OwnEndpoints {
  std::function<std::string()> port_list;  // the JSON of /.orvelle/ports
};

// Answers an own endpoint: the port list as JSON, anything else 404.
void AnswerOwnEndpoint(std::string_view path_below_web, const OwnEndpoints& endpoints,
                       http::THTTPResponseInfo& response);

}  // namespace orvelle::webfront
