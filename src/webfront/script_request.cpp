// Script pages: the abort request, the busy page, "Script not found", and one claimed run.
#include <algorithm>

#include "dispatcher_pages.h"
#include "http/request_fields.h"
#include "page_runner.h"
#include "request_dispatcher.h"
#include "request_paths.h"

namespace orvelle::webfront {
namespace {
// A script page's form and query together; a page has no use for more, and it is all kept
// in memory as parameters.
constexpr std::size_t kMaxFormBody = 1024 * 1024;
// Each parameter becomes a script variable, a slot the engine keeps.
constexpr std::size_t kMaxParams = 10'000;
}  // namespace

void TRequestDispatcher::ServeScript(const http::THTTPRequestInfo& request,
                                     http::THTTPResponseInfo& response,
                                     const std::filesystem::path& path, const std::string& below,
                                     const Peer& peer) {
  // Parameters are decoded only here, after authentication and the session rule, and only
  // within bounds: a flood of "&" must not become a flood of strings.
  if (request.ParamText.size() > kMaxFormBody ||
      static_cast<std::size_t>(
          std::count(request.ParamText.begin(), request.ParamText.end(), '&')) >= kMaxParams) {
    response.StatusCode(413);
    response.ContentText = FileNotFoundPage(response.StatusText);
    return;
  }
  if (IsAbortRequest(below)) {
    const std::optional<std::string> aborted = slot_.AbortCurrent();
    response.ContentText = aborted ? AbortedPage(*aborted) : std::string(kNoScriptPage);
    return;
  }
  std::string holder;
  // Held under its request path: the busy and aborted pages must not show where the server's
  // files lie on its disk.
  std::optional<ScriptSlot::Claim> claim = slot_.TryClaim(below, holder);
  if (!claim) {
    response.ContentText = BusyPage(holder);
    return;
  }
  struct stat info {};
  if (!IsExistingFile(path, info)) {
    response.StatusCode(404);
    response.ContentText = kScriptNotFoundPage;
    return;
  }
  std::vector<std::string> server_variables =
      setup_.page_variables ? setup_.page_variables() : std::vector<std::string>{};
  const PageRequest page{path.string(), http::DecodeParams(request.ParamText),
                         peer.ip,       peer.port,
                         &info,         std::move(server_variables)};
  NoteScript("start", request.Document);
  PageExplainer explainer(explain_log_, path.string(), request.Document);
  try {
    response.ContentText = RunPage(page, setup_.script_host, setup_.output, claim->StopToken(),
                                   script::EvalMode::kFast, &page_cache_,
                                   setup_.explain_scripts ? &explainer : nullptr);
  } catch (...) {
    NoteScript("end", request.Document);  // the server answers with its error page
    throw;
  }
  NoteScript(claim->StopToken().stop_requested() ? "abort" : "end", request.Document);
}

// Watchers of the port (the live console, the MQTT bridge) see which page drove it when.
void TRequestDispatcher::NoteScript(std::string_view what, std::string_view document) {
  if (setup_.traffic == nullptr) return;
  setup_.traffic->Note(base::TrafficKind::kEvent,
                       "script " + std::string(what) + " " + std::string(document));
}

}  // namespace orvelle::webfront
