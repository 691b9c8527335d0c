// One fuzz input run through the request parser whole and in pieces, then into a request record.
// Shared by the libFuzzer target and the corpus replay test.
#pragma once

#include <algorithm>
#include <string_view>

#include "base/control_bytes.h"
#include "http/exceptions.h"
#include "http/request_info.h"
#include "http/request_parser.h"

namespace orvelle::http::fuzzing {

// Small bounds so that inputs of a few hundred bytes reach every limit.
inline TRequestLimits FuzzLimits() {
  TRequestLimits limits;
  limits.MaxLineLength = 256;
  limits.MaxHeaderLines = 16;
  limits.MaxBodySize = 4096;
  return limits;
}

inline TParseStatus ParseAll(TRequestParser& parser, std::string_view bytes, std::size_t chunk) {
  while (!bytes.empty() && parser.Status() == TParseStatus::kNeedMore) {
    const std::size_t n = std::min(chunk, bytes.size());
    parser.Feed(bytes.substr(0, n));
    bytes.remove_prefix(n);
  }
  return parser.FinishInput();
}

// The logged form of any bytes holds no control byte and changes nothing else: every control
// byte becomes exactly four printable ones.
inline bool CheckLogEscaping(std::string_view input) {
  const std::string escaped = base::EscapeControlBytes(input);
  if (base::HasControlBytes(escaped)) return false;
  std::size_t controls = 0;
  for (char c : input) controls += base::HasControlBytes(std::string_view(&c, 1)) ? 1 : 0;
  return escaped.size() == input.size() + 3 * controls && (controls > 0 || escaped == input);
}

// The first byte chooses the chunk size for the piecewise run. Returns false when feeding in
// pieces gives another result than feeding the whole input.
inline bool CheckRequestParser(std::string_view input) {
  if (input.empty()) return true;
  if (!CheckLogEscaping(input)) return false;
  const std::size_t chunk = static_cast<unsigned char>(input.front()) % 16 + 1;
  input.remove_prefix(1);
  TRequestParser whole(FuzzLimits());
  TRequestParser pieces(FuzzLimits());
  const TParseStatus status = ParseAll(whole, input, input.size() + 1);
  if (ParseAll(pieces, input, chunk) != status) return false;
  const TParsedRequest& a = whole.Request();
  const TParsedRequest& b = pieces.Request();
  if (a.Line.Method != b.Line.Method || a.Line.Target != b.Line.Target ||
      a.Line.Version != b.Line.Version || a.Body != b.Body ||
      a.Headers.Lines() != b.Headers.Lines()) {
    return false;
  }
  if (status != TParseStatus::kComplete) return true;
  // A request handed on never carries a control byte in its target, so the path that names a
  // file is the path every rule looked at.
  if (!IsCleanTarget(a.Line.Target)) return false;
  try {
    const THTTPRequestInfo info = THTTPRequestInfo::FromParsed(whole.TakeRequest(), "", true);
    if (info.Document.empty() || (info.Document.front() != '/' && info.Document != "*")) {
      return false;
    }
    if (base::HasControlBytes(info.Document)) return false;
    for (std::size_t i = 0; i < info.Cookies.Count(); ++i) (void)info.Cookies[i].CookieText();
  } catch (const EHTTPUnsupportedAuthorisationScheme&) {
  }
  return true;
}

}  // namespace orvelle::http::fuzzing
