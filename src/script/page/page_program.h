// A page file's bytes made ready to run: translated into script lines, its blocks checked, and
// compiled into a program.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "script/program.h"

namespace orvelle::script {

class ScriptRun;

std::shared_ptr<const Program> CompilePage(std::string_view page_bytes,
                                           EvalMode mode = EvalMode::kFast);

// Sets the names translated pages rebuild their HTML with (q, pc, po). The host seeds them after
// the request's parameters, so no parameter can replace them.
void SeedPageNames(ScriptRun& engine);

// The script line a block check's message names (0: the end of the page) and its first
// complaint without the "Error: " prefix and the line number.
struct BlockErrorPlace {
  int line = 0;
  std::string text;
};
BlockErrorPlace PlaceOfBlockError(const std::string& error);

// Runs a page's program as the server does (an explainer is told where the block error is): the
// block check's message stands in for a run, and a run that ends on an error adds its line to the
// output.
void RunPageProgram(ScriptRun& run, std::vector<std::string>& output);

}  // namespace orvelle::script
