// Running one script page: seed a fresh engine, load and translate the page, check its blocks,
// run it, and turn the output list into the response body.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "script/Uscripteng.h"
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

// Follows one page run so the owner of the script slot can publish and abort the engine.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // The engine exists; from now on another thread may Abort it.
  virtual void Created(script::TExecute& engine) = 0;
  // The page is translated and checked; false skips the run (it was aborted meanwhile).
  virtual bool Starting() = 0;
  // Called however the request ends, while the engine still exists.
  virtual void Finished() = 0;
};

// The body: every output entry followed by CR LF. Throws when the page cannot be read or a
// parameter name is not acceptable (the server answers those with its own error). With a
// cache, an unchanged page is not read and translated again.
std::string RunPage(const PageRequest& request, script::ScriptHost& host,
                    std::vector<std::string>& output, RunObserver* observer = nullptr,
                    script::TExecute::Mode mode = script::TExecute::Mode::kFast,
                    PageCache* cache = nullptr);

// Seeds one variable per parameter, then the server's own: the server variables, peerIP,
// peerPort, q, pc and po. The server's own come last so a parameter of the same name never
// replaces them (q, po and pc carry the page's own HTML; peerIP is what a page may check).
void SeedVariables(script::TExecute& engine, const PageRequest& request);

}  // namespace orvelle::webfront
