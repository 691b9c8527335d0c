// From parsed bytes to the request record: parameters, cookies, Document, credentials.
#include "http/request_info.h"

#include "http/exceptions.h"
#include "http/request_fields.h"

namespace orvelle::http {

THTTPRequestInfo THTTPRequestInfo::FromParsed(TParsedRequest request, std::string client_ip,
                                              bool parse_params) {
  THTTPRequestInfo info;
  info.ClientIP = std::move(client_ip);
  info.Command = request.Line.Method;
  info.Version = request.Line.Version;
  info.Headers = std::move(request.Headers);
  info.ParamText = std::move(request.Body);

  const std::string& target = request.Line.Target;
  const auto question = target.find('?');
  const std::string path = target.substr(0, question);
  const std::string query =
      question == std::string::npos ? std::string{} : target.substr(question + 1);
  if (!query.empty())
    info.ParamText = info.ParamText.empty() ? query : info.ParamText + "&" + query;
  if (parse_params) info.Params = DecodeParams(info.ParamText);

  for (const std::string& value : info.Headers.Extract("Cookie")) {
    info.Cookies.ParseCookieHeader(value);
  }
  info.Host = info.Headers.Value("Host");
  TDocumentParts document = ParseDocument(path);
  info.Document = std::move(document.Document);
  if (info.Host.empty()) info.Host = std::move(document.Host);

  const std::string authorization = info.Headers.Value("Authorization");
  if (!authorization.empty()) {
    try {
      TBasicCredentials credentials = ParseBasicAuthorization(authorization);
      info.HasAuth = true;
      info.AuthUser = std::move(credentials.User);
      info.AuthPassword = std::move(credentials.Password);
    } catch (const EHTTPUnsupportedAuthorisationScheme&) {
      // No credentials: the same answer as a request that sent none.
    }
  }
  return info;
}

}  // namespace orvelle::http
