// The fixed pages the dispatcher answers with. "\r" is a lone CR the pages have always carried.
#pragma once

#include <string>
#include <string_view>

namespace orvelle::webfront {

inline constexpr std::string_view kAuthRealm = "Orvelle server";
inline constexpr std::string_view kSessionCookieName = "Orvelle";

inline constexpr std::string_view kAuthenticationPage =
    "<html><head><title>Error</title></head><body><h1>Authentication failed</h1>\r</body></html>";
inline constexpr std::string_view kAccessDeniedPage =
    "<html><head><title>Error</title></head><body><h1>Access denied</h1>\rYou do not have "
    "sufficient priviligies to access this document.</body></html>";
inline constexpr std::string_view kOneSessionPage =
    "<html><head><title>Error</title></head><body><h1>Access denied</h1>\rOnly one session "
    "allowed. Please come back later.</body></html>";
inline constexpr std::string_view kNoScriptPage =
    "<html><head><title>No script running</title></head><body><h1>No script running</h1>\rThere "
    "are not running scripts.<br>You can resume normal operation.</body></html>";
inline constexpr std::string_view kScriptNotFoundPage =
    "<H1><center>Script not found</center></H1>";

// Another script holds the slot; offers to abort it.
std::string BusyPage(std::string_view running_script);
// The script at `path` was told to stop.
std::string AbortedPage(std::string_view path);
// A missing static file, or any other error status; the heading is the response's status text.
std::string FileNotFoundPage(std::string_view status_text);
// A link from another site led here: names the page and offers a same-origin link to it.
// `path` is the request's path and `query` its query, both as sent (percent-encoded); both are
// hostile.
std::string ContinuePage(std::string_view path, std::string_view query);
// The same-origin link ContinuePage offers: every byte of `path` but letters, digits, "-._~",
// "/" and "%" percent-encoded, one leading "/", and the query's bytes beyond those and "=&+"
// encoded too; never a link to another host.
std::string ContinueLink(std::string_view path, std::string_view query);

}  // namespace orvelle::webfront
