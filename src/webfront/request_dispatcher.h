// HTTPServerCommandGet: every GET, HEAD and POST request, from the log line through
// authentication, the session rule and the path mapping to a static file or a script page.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dispatcher_context.h"
#include "event_stream.h"
#include "host_rule.h"
#include "http/http_server.h"
#include "http/mime_table.h"
#include "login_throttle.h"
#include "own_endpoints.h"
#include "page_cache.h"
#include "program_api.h"
#include "script/host.h"
#include "script_explain.h"
#include "script_slot.h"
#include "session_gate.h"

namespace orvelle::webfront {

// The program's parts the dispatcher works with; all outlive it.
struct DispatcherSetup {
  DispatcherContext& context;
  http::THTTPServer& server;         // SendFile
  http::TMimeTable& mime_table;      // the core's own table
  script::ScriptHost& script_host;   // the program's host
  std::vector<std::string>& output;  // the output list; only the slot's holder touches it
  SessionGate& session;
  std::filesystem::path web_folder;  // absolute, normalised
  // name=value lines seeded after every script request's own parameters, so a request cannot
  // replace them; asked for at every request (a value may change while the server runs); may
  // be empty.
  std::function<std::vector<std::string>()> page_variables = {};
  // Serve script pages and the server's own endpoints to requests another site's page made.
  bool allow_cross_site = false;
  OwnEndpoints own_endpoints = {};  // what /.orvelle/... answers with
  // What passed the port, streamed at /.orvelle/events; null: that path is not served.
  base::TrafficRing* traffic = nullptr;
  // The port as the programs' JSON API reaches it; null: there is no such API.
  ApiPort* api_port = nullptr;
  // Host names (and "*.domain" wildcards) served besides IP literals, localhost and this
  // machine's own names.
  std::vector<std::string> allowed_hosts = {};
  // Tell the log why script lines did nothing (at most once per page and line a minute).
  bool explain_scripts = false;
};

class TRequestDispatcher {
 public:
  explicit TRequestDispatcher(DispatcherSetup setup);

  void HTTPServerCommandGet(http::TPeerThread& AThread, http::THTTPRequestInfo& RequestInfo,
                            http::THTTPResponseInfo& ResponseInfo);

  ScriptSlot& Slot() { return slot_; }
  // Replaces the names served besides IP literals, localhost and this machine's own (the
  // setup's allowed_hosts at first); safe while requests are served.
  void AllowHosts(std::vector<std::string> names);

 private:
  struct Peer {
    std::string ip;
    int port = 0;
  };

  // Basic authentication with the failed-login count; false when the response is filled (401 or
  // 429).
  bool Admitted(const http::THTTPRequestInfo& request, http::THTTPResponseInfo& response,
                const Peer& peer);
  // The Host rule; false when the response is filled (400 or 421).
  bool HostAccepted(const http::THTTPRequestInfo& request, http::THTTPResponseInfo& response,
                    const Peer& peer);
  // Logs and answers a script or endpoint request that another site's page made.
  void RefuseCrossSite(const http::THTTPRequestInfo& request, http::THTTPResponseInfo& response,
                       const Peer& peer);
  void ServeStatic(http::TPeerThread& thread, const http::THTTPRequestInfo& request,
                   http::THTTPResponseInfo& response, std::filesystem::path path, const Peer& peer);
  // `below`: the page's path below the web folder (PathBelowFolder).
  void ServeScript(const http::THTTPRequestInfo& request, http::THTTPResponseInfo& response,
                   const std::filesystem::path& path, const std::string& below, const Peer& peer);
  void NoteScript(std::string_view what, std::string_view document);

  DispatcherSetup setup_;
  std::shared_ptr<const HostRule> CurrentHostRule();

  std::vector<std::string> machine_names_;  // looked up once: the lookup may ask the resolver
  std::mutex host_rule_mutex_;
  std::shared_ptr<const HostRule> host_rule_;
  ScriptSlot slot_;
  LoginThrottle throttle_;
  PageCache page_cache_;
  EventStream events_{setup_.traffic, setup_.context};
  ProgramApi api_{setup_.api_port, slot_, [this] { return events_.Viewers(); }};
  ExplainLog explain_log_{[this](std::string_view line) { setup_.context.AddLog(line); }};
};

}  // namespace orvelle::webfront
