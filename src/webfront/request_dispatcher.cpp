// The order of a request's steps: log, authentication, session, path, then the answer.
#include "request_dispatcher.h"

#include "credentials.h"
#include "dispatcher_pages.h"
#include "request_paths.h"

namespace orvelle::webfront {

TRequestDispatcher::TRequestDispatcher(DispatcherSetup setup) : setup_(std::move(setup)) {}

void TRequestDispatcher::HTTPServerCommandGet(http::TPeerThread& AThread,
                                              http::THTTPRequestInfo& RequestInfo,
                                              http::THTTPResponseInfo& ResponseInfo) {
  const http::TSocketHandle& binding = AThread.Connection().Binding();
  const Peer peer{binding.PeerIP, binding.PeerPort};
  setup_.context.AddLog("Command " + RequestInfo.Command + " " + RequestInfo.Document +
                        " received from " + peer.ip + ":" + std::to_string(peer.port));
  if (!Authenticated(RequestInfo)) {
    ResponseInfo.ContentText = kAuthenticationPage;
    ResponseInfo.Realm = kAuthRealm;
    return;
  }
  if (setup_.context.GetSetting("Use session") == "yes" &&
      !setup_.session.Admit(RequestInfo.Cookies, ResponseInfo.Cookies)) {
    ResponseInfo.ContentText = kOneSessionPage;
    return;
  }
  const std::filesystem::path path = MapDocument(setup_.web_folder, RequestInfo.Document);
  // Tested before anything looks at the file, so answers never reveal what exists elsewhere.
  if (!IsInsideFolder(path, setup_.web_folder)) {
    ResponseInfo.StatusCode(403);
    ResponseInfo.ContentText = kAccessDeniedPage;
    return;
  }
  // Decided on the path that is served, not the raw one: "/x.ovs/../log.txt" is the plain file
  // log.txt and must never run as a script.
  const std::string below = PathBelowFolder(path, setup_.web_folder);
  if (IsOwnEndpoint(below)) {
    AnswerOwnEndpoint(below, setup_.own_endpoints, ResponseInfo);
  } else if (IsScriptRequest(below)) {
    ServeScript(RequestInfo, ResponseInfo, path, IsAbortRequest(below), peer);
  } else {
    ServeStatic(AThread, RequestInfo, ResponseInfo, path, peer);
  }
}

bool TRequestDispatcher::Authenticated(const http::THTTPRequestInfo& request) {
  if (setup_.context.GetSetting("Auth require") != "yes") return true;
  return CredentialsMatch(request.AuthUser, request.AuthPassword,
                          setup_.context.GetSetting("Auth user"),
                          setup_.context.GetSetting("Auth password"));
}

}  // namespace orvelle::webfront
