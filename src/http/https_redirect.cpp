// Building the redirect target from untrusted request fields, reflecting nothing unchecked.
#include "http/https_redirect.h"

#include <cstdio>

namespace orvelle::http {
namespace {

constexpr int kDefaultHttpsPort = 443;

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.';
}

bool IsIpv6Char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
         c == '.';
}

bool AllOf(std::string_view text, bool (*allowed)(char)) {
  for (const char c : text) {
    if (!allowed(c)) return false;
  }
  return true;
}

bool IsDigits(std::string_view text) {
  return !text.empty() && AllOf(text, [](char c) { return c >= '0' && c <= '9'; });
}

// The host part of a Host header, or empty when the header is not a plain host[:port].
std::string_view HostOf(std::string_view header) {
  if (header.empty() || header.size() > kMaxHostLength + 8) return {};
  if (header.front() == '[') {
    const auto close = header.find(']');
    if (close == std::string_view::npos) return {};
    const std::string_view rest = header.substr(close + 1);
    if (!rest.empty() && !(rest.front() == ':' && IsDigits(rest.substr(1)))) return {};
    const std::string_view inside = header.substr(1, close - 1);
    return !inside.empty() && AllOf(inside, IsIpv6Char) ? header.substr(0, close + 1)
                                                        : std::string_view{};
  }
  const auto colon = header.find(':');
  const std::string_view host = header.substr(0, colon);
  if (colon != std::string_view::npos && !IsDigits(header.substr(colon + 1))) return {};
  if (host.empty() || host.size() > kMaxHostLength || !AllOf(host, IsNameChar)) return {};
  return host;
}

// The path and query of an origin-form or absolute-form target; "/" for anything else.
std::string_view PathOf(std::string_view target) {
  if (target.starts_with('/')) return target;
  const auto scheme = target.find("://");
  if (scheme == std::string_view::npos) return "/";
  const auto slash = target.find('/', scheme + 3);
  return slash == std::string_view::npos ? "/" : target.substr(slash);
}

bool KeptAsIs(unsigned char c) {
  constexpr std::string_view kDelimiters = "\"<>\\^`{|}";
  return c > 0x20 && c < 0x7f && kDelimiters.find(static_cast<char>(c)) == std::string_view::npos;
}

std::string Encoded(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (KeptAsIs(byte)) {
      out += c;
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", byte);
      out += escape;
    }
  }
  return out;
}

}  // namespace

std::string HttpsLocation(std::string_view host_header, std::string_view fallback_host,
                          int https_port, std::string_view target) {
  std::string_view host = HostOf(host_header);
  if (host.empty()) host = fallback_host;
  std::string url = "https://" + std::string(host);
  if (https_port != kDefaultHttpsPort) url += ":" + std::to_string(https_port);
  return url + Encoded(PathOf(target));
}

}  // namespace orvelle::http
