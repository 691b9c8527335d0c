// The steps of a script request from the page file to the response body.
#include "page_runner.h"

#include "script/page/page_program.h"
#include "script/page/page_text.h"

namespace orvelle::webfront {

namespace {

void SetParamLines(script::ScriptRun& engine, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      engine.SetVar("", line);
    } else {
      engine.SetVar(std::string_view(line).substr(0, equals),
                    std::string_view(line).substr(equals + 1));
    }
  }
}

}  // namespace

void SeedVariables(script::ScriptRun& engine, const PageRequest& request) {
  SetParamLines(engine, request.params);
  // Names only the server may set, whether or not it sets them for this run: a page must be
  // able to tell "no demo device" from a parameter posing as one.
  for (std::string_view name : kServerOnlyNames) engine.SetVar(name, "");
  SetParamLines(engine, request.server_variables);
  engine.SetVar("peerIP", request.peer_ip);
  engine.SetVar("peerPort", std::to_string(request.peer_port));
  script::SeedPageNames(engine);
}

std::string RunPage(const PageRequest& request, script::ScriptHost& host,
                    std::vector<std::string>& output, std::stop_token stop, script::EvalMode mode,
                    PageCache* cache, script::Explainer* explain) {
  const std::shared_ptr<const script::Program> program =
      cache ? cache->Get(request.path, request.file_info) : LoadPageProgram(request.path, mode);
  script::ScriptRun engine(host, program, script::RunLimits{std::move(stop), 0, explain});
  SeedVariables(engine, request);
  output.clear();
  script::RunPageProgram(engine, output);
  return script::JoinLines(output);
}

}  // namespace orvelle::webfront
