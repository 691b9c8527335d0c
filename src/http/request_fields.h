// Pure decoders for the parts of a request: target to Document, parameters, Basic credentials.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvelle::http {

struct TDocumentParts {
  std::string Document;  // always begins with "/", or is exactly "*"
  std::string Host;      // host (and ":port") of an absolute target, else empty
};

// Turns the path part of a request target (query already removed) into Document. No
// percent-decoding is done.
TDocumentParts ParseDocument(std::string_view path);

// Cuts parameter text at every "&" and decodes each piece: "+" is a blank, "%hh" a byte
// (nothing for %00 or non-hex digits).
std::vector<std::string> DecodeParams(std::string_view text);

// Standard-alphabet Base64; whitespace and stray characters are skipped, "=" ends the data.
std::string DecodeBase64(std::string_view text);

struct TBasicCredentials {
  std::string User;
  std::string Password;
};

// Decodes an "Authorization" value of the Basic scheme (any case); throws
// EHTTPUnsupportedAuthorisationScheme for any other scheme.
TBasicCredentials ParseBasicAuthorization(std::string_view value);

}  // namespace orvelle::http
