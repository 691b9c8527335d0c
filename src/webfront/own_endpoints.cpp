// /.orvelle/ports and the 404 for every other own endpoint.
#include "own_endpoints.h"

#include "dispatcher_pages.h"

namespace orvelle::webfront {
namespace {

constexpr std::string_view kOwnRoot = "/.orvelle";
constexpr std::string_view kPortList = "/.orvelle/ports";

}  // namespace

bool IsOwnEndpoint(std::string_view path_below_web) {
  if (!path_below_web.starts_with(kOwnRoot)) return false;
  return path_below_web.size() == kOwnRoot.size() || path_below_web[kOwnRoot.size()] == '/';
}

void AnswerOwnEndpoint(std::string_view path_below_web, const OwnEndpoints& endpoints,
                       http::THTTPResponseInfo& response) {
  if (path_below_web == kPortList && endpoints.port_list) {
    response.StatusCode(200);
    response.ContentType = "application/json; charset=utf-8";
    response.ContentText = endpoints.port_list();
    return;
  }
  response.StatusCode(404);
  response.ContentText = FileNotFoundPage(response.StatusText);
}

}  // namespace orvelle::webfront
