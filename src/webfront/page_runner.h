// Running one script page: seed a fresh engine, load and translate the page, check its blocks,
// run it, and turn the output list into the response body.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "script/Uscripteng.h"

namespace orvelle::webfront {

struct PageRequest {
  std::string path;                 // the page file
  std::vector<std::string> params;  // name=value lines, in request order
  std::string peer_ip;
  int peer_port = 0;
};

// Called once the page is translated and checked, just before its run starts, with the engine
// (so another thread can Abort it); and once more with nullptr when the run is over.
using RunObserver = std::function<void(script::TExecute*)>;

// The body: every output entry followed by CR LF. Throws when the page cannot be read or a
// parameter name is not acceptable (the server answers those with its own error).
std::string RunPage(const PageRequest& request, script::ScriptHost& host,
                    std::vector<std::string>& output, const RunObserver& observer = {},
                    script::TExecute::Mode mode = script::TExecute::Mode::kFast);

// Seeds peerIP, peerPort, q, pc, po and one variable per parameter.
void SeedVariables(script::TExecute& engine, const PageRequest& request);

}  // namespace orvelle::webfront
