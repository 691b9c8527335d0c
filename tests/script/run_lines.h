// Runs script lines the way the server runs a page: compiled into a shared Program, the block
// check's message in place of a run, and a run's error as its line at the end of the output.
#pragma once

#include <string>
#include <vector>

#include "script/page/page_program.h"
#include "script/program.h"
#include "script/script_run.h"

namespace orvelle::script::test_support {

// A run of lines on the server's path; seed variables through `run` before calling Finish.
class LinesRun {
 public:
  LinesRun(ScriptHost& host, const std::vector<std::string>& lines, EvalMode mode = EvalMode::kFast,
           RunLimits limits = {})
      : run(host, Program::Compile(lines, mode), std::move(limits)) {}

  // Runs; the block-check or "Script engine error: " line, if any, goes to `output`.
  void Finish(std::vector<std::string>& output) { RunPageProgram(run, output); }

  ScriptRun run;
};

}  // namespace orvelle::script::test_support
