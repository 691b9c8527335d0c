// The order of a request's steps: log, path, cross-site refusal, authentication, session, then
// the answer.
#include "request_dispatcher.h"

#include "base/control_bytes.h"
#include "credentials.h"
#include "cross_site.h"
#include "own_endpoints.h"
#include "dispatcher_pages.h"
#include "request_paths.h"

namespace orvelle::webfront {
namespace {
// A user name in a log line is cut here; it comes from the client.
constexpr std::size_t kMaxLoggedUser = 64;
// A request path in a log line is cut here: longer than any real page's path, short enough that
// a client without credentials cannot fill the disk with a few requests.
constexpr std::size_t kMaxLoggedPath = 1024;
}  // namespace

TRequestDispatcher::TRequestDispatcher(DispatcherSetup setup) : setup_(std::move(setup)) {}

void TRequestDispatcher::HTTPServerCommandGet(http::TPeerThread& AThread,
                                              http::THTTPRequestInfo& RequestInfo,
                                              http::THTTPResponseInfo& ResponseInfo) {
  const http::TSocketHandle& binding = AThread.Connection().Binding();
  const Peer peer{binding.PeerIP, binding.PeerPort};
  setup_.context.AddLog("Command " + RequestInfo.Command + " " +
                        base::CutForLog(RequestInfo.Document, kMaxLoggedPath) + " received from " +
                        peer.ip + ":" + std::to_string(peer.port));
  const std::filesystem::path path = MapDocument(setup_.web_folder, RequestInfo.Document);
  const bool inside = IsInsideFolder(path, setup_.web_folder);
  // Decided on the path that is served, not the raw one: "/x.ovs/../log.txt" is the plain file
  // log.txt and must never run as a script.
  const std::string below = inside ? PathBelowFolder(path, setup_.web_folder) : std::string();
  const bool own_endpoint = inside && IsOwnEndpoint(below);
  const bool script = inside && !own_endpoint && IsScriptRequest(below);
  // Before the credentials: a page on another site must not even start a session here.
  if ((script || own_endpoint) && RefusedAsCrossSite(RequestInfo, peer)) {
    ResponseInfo.StatusCode(403);
    ResponseInfo.ContentText = kAccessDeniedPage;
    return;
  }
  if (!Admitted(RequestInfo, ResponseInfo, peer)) return;
  if (setup_.context.GetSetting("Use session") == "yes" &&
      !setup_.session.Admit(RequestInfo.Cookies, ResponseInfo.Cookies)) {
    ResponseInfo.ContentText = kOneSessionPage;
    return;
  }
  // Read-only and long-lived: it never takes the script slot.
  if (RequestInfo.Document == kEventStreamPath) {
    events_.Serve(AThread, RequestInfo, ResponseInfo);
    return;
  }
  // Tested before anything looks at the file, so answers never reveal what exists elsewhere.
  if (!inside) {
    ResponseInfo.StatusCode(403);
    ResponseInfo.ContentText = kAccessDeniedPage;
    return;
  }
  if (own_endpoint) {
    if (!api_.Answer(AThread, below, RequestInfo, ResponseInfo)) {
      AnswerOwnEndpoint(below, setup_.own_endpoints, ResponseInfo);
    }
  } else if (script) {
    ServeScript(RequestInfo, ResponseInfo, path, IsAbortRequest(below), peer);
  } else {
    ServeStatic(AThread, RequestInfo, ResponseInfo, path, peer);
  }
}

bool TRequestDispatcher::RefusedAsCrossSite(const http::THTTPRequestInfo& request,
                                            const Peer& peer) {
  if (setup_.allow_cross_site || !IsCrossSiteRequest(request)) return false;
  setup_.context.AddLog("Cross-site request refused: " + request.Command + " " +
                        base::CutForLog(request.Document, kMaxLoggedPath) + " from " + peer.ip);
  return true;
}

bool TRequestDispatcher::Admitted(const http::THTTPRequestInfo& request,
                                  http::THTTPResponseInfo& response, const Peer& peer) {
  if (setup_.context.GetSetting("Auth require") != "yes") return true;
  // A guessing address is turned away before its password is looked at.
  if (throttle_.Blocked(peer.ip)) {
    response.StatusCode(429);
    response.Headers.SetValue("Retry-After", std::to_string(LoginThrottle::kBlockTime.count()));
    response.ContentText = FileNotFoundPage(response.StatusText);
    return false;
  }
  if (CredentialsMatch(request.AuthUser, request.AuthPassword,
                       setup_.context.GetSetting("Auth user"),
                       setup_.context.GetSetting("Auth password"))) {
    throttle_.Succeeded(peer.ip);
    return true;
  }
  // A browser asks without credentials first; only a wrong guess counts as a failure.
  if (request.HasAuth) {
    setup_.context.AddLog("Authentication failed for user \"" +
                          request.AuthUser.substr(0, kMaxLoggedUser) + "\" from " + peer.ip);
    if (throttle_.Failed(peer.ip)) {
      setup_.context.AddLog("Too many failed logins from " + peer.ip + "; refused for " +
                            std::to_string(LoginThrottle::kBlockTime.count()) + " s");
    }
  }
  response.ContentText = kAuthenticationPage;
  response.Realm = kAuthRealm;
  return false;
}

}  // namespace orvelle::webfront
