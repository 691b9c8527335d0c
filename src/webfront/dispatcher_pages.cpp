// Pages whose text carries a path or a status text; a path is written as HTML text, since a
// file name may hold markup.
#include "dispatcher_pages.h"

#include "base/html_text.h"

namespace orvelle::webfront {

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

}  // namespace orvelle::webfront
