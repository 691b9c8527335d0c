// THTTPResponseInfo: the response a handler fills, and the writing of its header and body.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <string_view>

#include "http/cookies.h"
#include "http/header_list.h"

namespace orvelle::http {

class TTCPConnection;

// A browser must take a body for the type it was sent as, never guess another from its bytes.
inline constexpr std::string_view kNoSniffLine = "X-Content-Type-Options: nosniff\r\n";

class THTTPResponseInfo {
 public:
  explicit THTTPResponseInfo(TTCPConnection& connection) : connection_(connection) {}

  std::string ServerSoftware = "Orvelle/2.0";
  std::string Realm;  // non-empty: the response becomes a 401 Basic challenge
  std::string StatusText = "OK";
  std::string ContentType = "text/html";
  std::int64_t ContentLength = -1;  // -1: not set
  TCookieCollection Cookies;
  THeaderList Headers;
  std::unique_ptr<std::istream> ContentStream;
  std::string ContentText;
  bool HeaderSent = false;
  // Header lines sent after all the others, so the lines above keep their places.
  THeaderList LateHeaders;
  // Every cookie goes out with its Secure flag: the response travels over TLS, and a cookie set
  // there must never be sent back in the clear.
  bool SecureCookies = false;
  // Ends the header with "X-Content-Type-Options: nosniff" and, for an HTML body, lines that
  // let only pages of this origin frame it; after every other line, whose order stays.
  bool Guarded = false;

  int StatusCode() const { return status_code_; }
  // Sets the code and the matching StatusText.
  void StatusCode(int code);

  TTCPConnection& Connection() { return connection_; }

  // Writes the header block in one send; throws EHTTPHeaderAlreadyWritten the second time.
  void SendHeader();
  // Writes ContentText, or else the whole ContentStream.
  void SendBody();

 private:
  std::string HeaderBlock() const;

  TTCPConnection& connection_;
  int status_code_ = 200;
};

// The size of a stream from its start, leaving it positioned at the start.
std::int64_t StreamSize(std::istream& stream);

}  // namespace orvelle::http
