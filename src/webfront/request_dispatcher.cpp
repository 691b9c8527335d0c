// The order of a request's steps: log, path, cross-site refusal, authentication, session, then
// the answer.
#include "request_dispatcher.h"

#include "base/control_bytes.h"
#include "credentials.h"
#include "cross_site.h"
#include "dispatcher_pages.h"
#include "log_text.h"
#include "own_endpoints.h"
#include "request_paths.h"

namespace orvelle::webfront {
namespace {
// A user name in a log line is cut here; it comes from the client.
constexpr std::size_t kMaxLoggedUser = 64;
// A request path in a log line is cut here: longer than any real page's path, short enough that
// a client without credentials cannot fill the disk with a few requests.
constexpr std::size_t kMaxLoggedPath = 1024;
}  // namespace

TRequestDispatcher::TRequestDispatcher(DispatcherSetup setup)
    : setup_(std::move(setup)),
      machine_names_(MachineNames()),
      host_rule_(std::make_shared<const HostRule>(machine_names_, setup_.allowed_hosts)) {}

void TRequestDispatcher::AllowHosts(std::vector<std::string> names) {
  auto rule = std::make_shared<const HostRule>(machine_names_, std::move(names));
  std::lock_guard lock(host_rule_mutex_);
  host_rule_ = std::move(rule);
}

std::shared_ptr<const HostRule> TRequestDispatcher::CurrentHostRule() {
  std::lock_guard lock(host_rule_mutex_);
  return host_rule_;
}

void TRequestDispatcher::HTTPServerCommandGet(http::TPeerThread& AThread,
                                              http::THTTPRequestInfo& RequestInfo,
                                              http::THTTPResponseInfo& ResponseInfo) {
  const http::TSocketHandle& binding = AThread.Connection().Binding();
  const Peer peer{binding.PeerIP, binding.PeerPort};
  setup_.context.AddLog("Command " + RequestInfo.Command + " " +
                        base::CutForLog(RequestInfo.Document, kMaxLoggedPath) + " received from " +
                        peer.ip + ":" + std::to_string(peer.port));
  if (!HostAccepted(RequestInfo, ResponseInfo, peer)) return;
  const std::filesystem::path path = MapDocument(setup_.web_folder, RequestInfo.Document);
  const bool inside = IsInsideFolder(path, setup_.web_folder);
  // Decided on the path that is served, not the raw one: "/x.ovs/../log.txt" is the plain file
  // log.txt and must never run as a script.
  const std::string below = inside ? PathBelowFolder(path, setup_.web_folder) : std::string();
  const bool own_endpoint = inside && IsOwnEndpoint(below);
  const bool script = inside && !own_endpoint && IsScriptRequest(below);
  const bool cross_site = !setup_.allow_cross_site && IsCrossSiteRequest(RequestInfo);
  // Before the credentials: a page on another site must not even start a session here.
  if ((script || own_endpoint) && cross_site) {
    RefuseCrossSite(RequestInfo, ResponseInfo, peer);
    return;
  }
  if (!Admitted(RequestInfo, ResponseInfo, peer)) return;
  std::uint64_t session = 0;
  const bool session_rule = setup_.context.GetSetting("Use session") == "yes";
  if (session_rule &&
      !setup_.session.Admit(RequestInfo.Cookies, ResponseInfo.Cookies, !cross_site, &session)) {
    ResponseInfo.ContentText = kOneSessionPage;
    return;
  }
  // Read-only and long-lived: it never takes the script slot.
  if (RequestInfo.Document == kEventStreamPath) {
    std::function<bool()> still_current;
    if (session_rule) {
      still_current = [this, session] { return setup_.session.IsCurrent(session); };
    }
    events_.Serve(AThread, RequestInfo, ResponseInfo, std::move(still_current));
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
    ServeScript(RequestInfo, ResponseInfo, path, below, peer);
  } else {
    ServeStatic(AThread, RequestInfo, ResponseInfo, path, peer);
  }
}

bool TRequestDispatcher::HostAccepted(const http::THTTPRequestInfo& request,
                                      http::THTTPResponseInfo& response, const Peer& peer) {
  // Two names for one request: which one a proxy or cache went by is anyone's guess.
  if (request.Headers.Extract("Host").size() > 1) {
    response.StatusCode(400);
    response.ContentText = FileNotFoundPage(response.StatusText);
    return false;
  }
  if (request.Host.empty() || CurrentHostRule()->Allows(request.Host)) return true;
  const std::string name = HostNameOf(request.Host.substr(0, kMaxHostName + 1));
  const std::string advice = IsAllowedHostPattern(name)
                                 ? "start the server with --allow-host " + name + " to serve it"
                                 : "not a host name";
  setup_.context.AddLog("Request for host \"" + QuotedForLog(name, kMaxHostName) + "\" from " +
                        peer.ip + " refused: " + advice);
  response.StatusCode(421);
  response.StatusText = "Misdirected Request";
  response.ContentText = FileNotFoundPage(response.StatusText);
  return false;
}

// A link the visitor followed gets a page to continue from (following it is same-origin);
// anything else another site's page sends gets 403. Nothing runs either way.
void TRequestDispatcher::RefuseCrossSite(const http::THTTPRequestInfo& request,
                                         http::THTTPResponseInfo& response, const Peer& peer) {
  setup_.context.AddLog("Cross-site request refused: " + request.Command + " " +
                        base::CutForLog(request.Document, kMaxLoggedPath) + " from " + peer.ip);
  if (IsTopLevelNavigation(request)) {
    response.ContentText = ContinuePage(request.Document, request.ParamText);
    return;
  }
  response.StatusCode(403);
  response.ContentText = kAccessDeniedPage;
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
                          QuotedForLog(request.AuthUser, kMaxLoggedUser) + "\" from " + peer.ip);
    const LoginThrottle::Verdict verdict = throttle_.Failed(peer.ip);
    if (verdict.address_blocked) {
      setup_.context.AddLog("Too many failed logins from " + peer.ip + "; refused for " +
                            std::to_string(LoginThrottle::kBlockTime.count()) + " s");
    }
    if (verdict.everyone_blocked) {
      setup_.context.AddLog(
          "Too many failed logins from all addresses together; addresses "
          "without a recent sign-in refused for " +
          std::to_string(LoginThrottle::kBlockTime.count()) + " s");
    }
  }
  response.ContentText = kAuthenticationPage;
  response.Realm = kAuthRealm;
  return false;
}

}  // namespace orvelle::webfront
