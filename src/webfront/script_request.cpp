// Script pages: the abort request, the busy page, "Script not found", and one claimed run.
#include "claimed_run_host.h"
#include "dispatcher_pages.h"
#include "request_dispatcher.h"
#include "request_paths.h"

namespace orvelle::webfront {
void TRequestDispatcher::ServeScript(const http::THTTPRequestInfo& request,
                                     http::THTTPResponseInfo& response,
                                     const std::filesystem::path& path, const Peer& peer) {
  if (IsAbortRequest(request.Document)) {
    const std::optional<std::string> aborted = slot_.AbortCurrent();
    response.ContentText = aborted ? AbortedPage(*aborted) : std::string(kNoScriptPage);
    return;
  }
  std::string holder;
  std::optional<ScriptSlot::Claim> claim = slot_.TryClaim(path.string(), holder);
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
  ClaimedRunHost host(setup_.script_host, *claim);
  std::vector<std::string> params =
      setup_.page_variables ? setup_.page_variables() : std::vector<std::string>{};
  params.insert(params.end(), request.Params.begin(), request.Params.end());
  const PageRequest page{path.string(), std::move(params), peer.ip, peer.port, &info};
  response.ContentText =
      RunPage(page, host, setup_.output, &host, script::TExecute::Mode::kFast, &page_cache_);
}

}  // namespace orvelle::webfront
