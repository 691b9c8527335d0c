// Running one script page: take its compiled program, seed a fresh engine on it, run it, and turn
// the output list into the response body.
#pragma once

#include <sys/stat.h>

#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "script/script_run.h"
#include "webfront/page_cache.h"

namespace orvelle::webfront {

// Variables the server provides to some pages (the demo device's path); no parameter sets them.
inline constexpr std::string_view kServerOnlyNames[] = {"demoport"};

struct PageRequest {
  std::string path;                 // the page file
  std::vector<std::string> params;  // name=value lines, in request order
  std::string peer_ip;
  int peer_port = 0;
  // What a look at the page file just found, so the page cache need not look again; null: the
  // cache looks itself.
  const struct stat* file_info = nullptr;
  // name=value lines the server itself provides (the demo device's path); set after the
  // parameters, so a request cannot replace them.
  std::vector<std::string> server_variables = {};
};

// The body: every output entry followed by CR LF. Throws when the page cannot be read or a
// parameter name is not acceptable (the server answers those with its own error). `stop` ends
// the run before its next line (a stop requested before the run starts runs no line). With a
// cache, an unchanged page is not read and compiled again.
std::string RunPage(const PageRequest& request, script::ScriptHost& host,
                    std::vector<std::string>& output, std::stop_token stop = {},
                    script::EvalMode mode = script::EvalMode::kFast, PageCache* cache = nullptr,
                    script::Explainer* explain = nullptr);

// Seeds one variable per parameter, then the server's own: the server variables, peerIP,
// peerPort, and the names translated pages use. The server's own come last so a parameter of the
// same name never replaces them (peerIP is what a page may check).
void SeedVariables(script::ScriptRun& engine, const PageRequest& request);

}  // namespace orvelle::webfront
