// Document rules, parameter decoding and Basic credentials.
#include "http/request_fields.h"

#include <algorithm>

#include "base/ascii_text.h"
#include "http/exceptions.h"
#include "http/header_list.h"

namespace orvelle::http {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string DecodePiece(std::string_view piece) {
  std::string out;
  for (std::size_t i = 0; i < piece.size(); ++i) {
    const char c = piece[i];
    if (c == '+') {
      out += ' ';
    } else if (c != '%') {
      out += c;
    } else {
      const int hi = i + 1 < piece.size() ? HexDigit(piece[i + 1]) : -1;
      const int lo = i + 2 < piece.size() ? HexDigit(piece[i + 2]) : -1;
      if (hi >= 0 && lo >= 0 && (hi * 16 + lo) != 0) out += static_cast<char>(hi * 16 + lo);
      i += std::min<std::size_t>(2, piece.size() - 1 - i);
    }
  }
  return out;
}

}  // namespace

TDocumentParts ParseDocument(std::string_view path) {
  TDocumentParts parts;
  if (path == "*") {
    parts.Document = "*";
    return parts;
  }
  std::string rest(path);
  std::replace(rest.begin(), rest.end(), '\\', '/');
  if (const auto scheme_end = rest.find("://"); scheme_end != std::string::npos) {
    const auto host_start = scheme_end + 3;
    const auto slash = rest.find('/', host_start);
    parts.Host = rest.substr(host_start,
                             slash == std::string::npos ? std::string::npos : slash - host_start);
    rest = slash == std::string::npos ? std::string{} : rest.substr(slash);
  }
  const auto last_slash = rest.rfind('/');
  std::string directory =
      last_slash == std::string::npos ? std::string{} : rest.substr(0, last_slash + 1);
  std::string file = last_slash == std::string::npos ? rest : rest.substr(last_slash + 1);
  file = file.substr(0, file.find('#'));
  if (directory.empty() || directory.front() != '/') directory.insert(0, "/");
  parts.Document = directory + file;
  return parts;
}

std::vector<std::string> DecodeParams(std::string_view text) {
  std::vector<std::string> params;
  if (text.empty()) return params;
  std::size_t start = 0;
  for (;;) {
    const auto amp = text.find('&', start);
    params.push_back(
        DecodePiece(text.substr(start, amp == std::string_view::npos ? amp : amp - start)));
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  return params;
}

std::string DecodeBase64(std::string_view text) {
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    const int digit = Base64Digit(c);
    if (digit < 0) continue;
    buffer = (buffer << 6) | static_cast<unsigned>(digit);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return out;
}

TBasicCredentials ParseBasicAuthorization(std::string_view value) {
  const auto blank = value.find(' ');
  const std::string_view scheme = value.substr(0, blank);
  if (!base::EqualsIgnoreCase(scheme, "Basic")) throw EHTTPUnsupportedAuthorisationScheme();
  const std::string decoded =
      DecodeBase64(blank == std::string_view::npos ? std::string_view{} : value.substr(blank + 1));
  const auto colon = decoded.find(':');
  if (colon == std::string::npos) return {decoded, {}};
  return {decoded.substr(0, colon), decoded.substr(colon + 1)};
}

}  // namespace orvelle::http
