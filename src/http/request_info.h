// THTTPRequestInfo: the record of one GET, HEAD or POST request as the handler sees it.
#pragma once

#include <string>
#include <vector>

#include "http/cookies.h"
#include "http/header_list.h"
#include "http/request_parser.h"

namespace orvelle::http {

struct THTTPRequestInfo {
  std::string ClientIP;
  std::string Host;
  std::string Document;
  std::string Command;
  std::string Version;
  std::string AuthUser;
  std::string AuthPassword;
  std::string ParamText;
  bool HasAuth = false;
  THeaderList Headers;
  std::vector<std::string> Params;
  TCookieCollection Cookies;

  // Builds the record from a parsed request. An "Authorization" header of another scheme than
  // Basic (or garbage) gives no credentials, so authentication answers it as it answers a
  // request without any, rather than the connection closing without a word.
  static THTTPRequestInfo FromParsed(TParsedRequest request, std::string client_ip,
                                     bool parse_params);
};

}  // namespace orvelle::http
