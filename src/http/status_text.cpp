// The status-text table of the response record.
#include "http/status_text.h"

#include <array>
#include <utility>

namespace orvelle::http {

std::string StatusText(int code) {
  static constexpr std::array<std::pair<int, const char*>, 34> kTable{{
      {200, "OK"},
      {201, "Created"},
      {202, "Accepted"},
      {203, "Non-authoritative Information"},
      {204, "No Content"},
      {205, "Reset Content"},
      {206, "Partial Content"},
      {301, "Moved Permanently"},
      {302, "Moved Temporarily"},
      {303, "See Other"},
      {304, "Not Modified"},
      {305, "Use Proxy"},
      {400, "Bad Request"},
      {401, "Unauthorized"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {405, "Method not allowed"},
      {406, "Not Acceptable"},
      {407, "Proxy Authentication Required"},
      {408, "Request Timeout"},
      {409, "Conflict"},
      {410, "Gone"},
      {411, "Length Required"},
      {412, "Precondition Failed"},
      {413, "Request Entity To Long"},
      {414, "Request-URI Too Long. 256 Chars max"},
      {415, "Unsupported Media Type"},
      {429, "Too Many Requests"},
      {500, "Internal Server Error"},
      {501, "Not Implemented"},
      {502, "Bad Gateway"},
      {503, "Service Unavailable"},
      {504, "Gateway timeout"},
      {505, "HTTP version not supported"},
  }};
  for (const auto& [number, text] : kTable) {
    if (number == code) return text;
  }
  return "Unknown Response Code";
}

}  // namespace orvelle::http
