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

namespace {

// The program's host as one run sees it: the program's in everything, with the run's own stop, so
// a built-in that waits (query) ends its wait when the run is aborted.
class RunHost final : public script::ScriptHost {
 public:
  RunHost(script::ScriptHost& host, std::stop_token stop) : host_(host), stop_(std::move(stop)) {}
  void AppendOutput(std::string line) override { host_.AppendOutput(std::move(line)); }
  std::string GetSetting(std::string_view key) override { return host_.GetSetting(key); }
  std::vector<std::string>& SplitParts() override { return host_.SplitParts(); }
  std::uint32_t Random(std::uint32_t n) override { return host_.Random(n); }
  std::tm LocalTime() override { return host_.LocalTime(); }
  std::int64_t CounterTicks() override { return host_.CounterTicks(); }
  std::int64_t CounterFrequency() override { return host_.CounterFrequency(); }
  script::SerialAccess& Serial() override { return host_.Serial(); }
  script::FileAccess& Files() override { return host_.Files(); }
  void PumpMessages() override { host_.PumpMessages(); }
  std::stop_token StopToken() override { return stop_; }

 private:
  script::ScriptHost& host_;
  std::stop_token stop_;
};

}  // namespace

std::string RunPage(const PageRequest& request, script::ScriptHost& host,
                    std::vector<std::string>& output, std::stop_token stop, script::EvalMode mode,
                    PageCache* cache, script::Explainer* explain) {
  const std::shared_ptr<const script::Program> program =
      cache ? cache->Get(request.path, request.file_info) : LoadPageProgram(request.path, mode);
  RunHost run_host(host, stop);
  script::ScriptRun engine(run_host, program, script::RunLimits{std::move(stop), 0, explain});
  SeedVariables(engine, request);
  output.clear();
  script::RunPageProgram(engine, output);
  return script::JoinLines(output);
}

}  // namespace orvelle::webfront
