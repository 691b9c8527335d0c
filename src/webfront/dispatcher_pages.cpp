// Pages whose text carries a path or a status text; a path is written as HTML text, since a
// file name may hold markup.
#include "dispatcher_pages.h"

#include "base/html_text.h"

namespace orvelle::webfront {
namespace {

bool IsUnreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

void AppendEncoded(std::string& out, std::string_view text, std::string_view also_kept) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : text) {
    if (IsUnreserved(c) || also_kept.find(c) != std::string_view::npos) {
      out.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += {'%', kHex[byte >> 4], kHex[byte & 0x0F]};
    }
  }
}

}  // namespace

std::string BusyPage(std::string_view running_script) {
  return std::string(
             "<html><head><title>Error</title></head><body><h1>Access denied</h1>\rAnother "
             "script is running (") +
         base::EscapeHtml(running_script) +
         ").<br>You can <a href=\"./abort.ovs\">ABORT</a> it.</body></html>";
}

std::string AbortedPage(std::string_view path) {
  return std::string(
             "<html><head><title>Script aborted</title></head><body><h1>Script aborted</h1>\rThe "
             "script was aborted (") +
         base::EscapeHtml(path) + ").<br>You can resume normal operation.</body></html>";
}

std::string FileNotFoundPage(std::string_view status_text) {
  return "<html><head><title>Error</title></head><body><h1>" + std::string(status_text) +
         "</h1></body></html>";
}

std::string ContinueLink(std::string_view path, std::string_view query) {
  // "//host" would leave this server: the path always starts with exactly one "/".
  while (path.starts_with('/')) path.remove_prefix(1);
  std::string link = "/";
  AppendEncoded(link, path, "/%");
  if (!query.empty()) {
    link.push_back('?');
    AppendEncoded(link, query, "=&%+");
  }
  return link;
}

std::string ContinuePage(std::string_view path, std::string_view query) {
  const std::string link = base::EscapeHtml(ContinueLink(path, query));
  return "<html><head><title>Continue?</title></head><body><h1>Continue?</h1><p>A page on "
         "another site sent you to " +
         link + " on this server.</p><p><a href=\"" + link +
         "\">Continue</a> if you meant to open it.</p></body></html>";
}

}  // namespace orvelle::webfront
