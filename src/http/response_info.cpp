// The header block's order and the body writers of the response record.
#include "http/response_info.h"

#include <algorithm>

#include "base/ascii_text.h"
#include "http/connection.h"
#include "http/exceptions.h"
#include "http/status_text.h"

namespace orvelle::http {
namespace {

using base::EqualsIgnoreCase;

// CR or LF inside a value would let it start a header line of its own (response splitting).
std::string OneLine(std::string text) {
  std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
  return text;
}

// OneLine appended in place: the header block is built without a copy per line.
void AppendOneLine(std::string& block, std::string_view text) {
  for (const char c : text) {
    if (c != '\r' && c != '\n') block += c;
  }
  block += "\r\n";
}

bool IsHtml(std::string_view content_type) {
  const std::string_view type = content_type.substr(0, content_type.find(';'));
  return EqualsIgnoreCase(type, "text/html") || EqualsIgnoreCase(type, "application/xhtml+xml");
}

}  // namespace

std::int64_t StreamSize(std::istream& stream) {
  stream.clear();
  stream.seekg(0, std::ios::end);
  const auto size = static_cast<std::int64_t>(stream.tellg());
  stream.seekg(0, std::ios::beg);
  return std::max<std::int64_t>(size, 0);
}

void THTTPResponseInfo::StatusCode(int code) {
  status_code_ = code;
  StatusText = http::StatusText(code);
}

void THTTPResponseInfo::SendHeader() {
  if (HeaderSent) throw EHTTPHeaderAlreadyWritten();
  HeaderSent = true;
  Headers.SetValue("Server", OneLine(ServerSoftware));
  Headers.SetValue("Content-Type", OneLine(ContentType));
  if (ContentLength == -1) {
    if (!ContentText.empty()) {
      ContentLength = static_cast<std::int64_t>(ContentText.size());
    } else if (ContentStream) {
      ContentLength = StreamSize(*ContentStream);
    }
  }
  if (ContentLength >= 0) Headers.SetValue("Content-Length", std::to_string(ContentLength));
  if (!Realm.empty()) {
    StatusCode(401);
    Headers.SetValue("WWW-Authenticate", "Basic realm=\"" + OneLine(Realm) + "\"");
  }
  // A body that follows may share the header's packet.
  connection_.Write(HeaderBlock(), ContentLength > 0);
}

std::string THTTPResponseInfo::HeaderBlock() const {
  // Room for the usual header in one allocation.
  constexpr std::size_t kUsualHeaderBlock = 512;
  std::string block;
  block.reserve(kUsualHeaderBlock);
  block += "HTTP/1.1 ";
  block += std::to_string(status_code_);
  block += ' ';
  AppendOneLine(block, StatusText);
  for (std::size_t i = 0; i < Cookies.Count(); ++i) {
    TCookie cookie = Cookies[i];
    cookie.Secure = cookie.Secure || SecureCookies;
    block += "Set-Cookie: ";
    AppendOneLine(block, cookie.CookieText());
  }
  for (const std::string& line : Headers.Lines()) AppendOneLine(block, line);
  for (const std::string& line : LateHeaders.Lines()) AppendOneLine(block, line);
  if (Guarded) {
    // Another site must not show our pages in a frame and trick a click on them.
    if (IsHtml(ContentType)) {
      block += "Content-Security-Policy: frame-ancestors 'self'\r\nX-Frame-Options: SAMEORIGIN\r\n";
    }
    block += kNoSniffLine;
  }
  block += "\r\n";
  return block;
}

void THTTPResponseInfo::SendBody() {
  if (!ContentText.empty()) {
    connection_.Write(ContentText);
    ContentText.clear();
  } else if (ContentStream) {
    const std::int64_t size = StreamSize(*ContentStream);
    connection_.WriteStream(*ContentStream, size);
  }
}

}  // namespace orvelle::http
