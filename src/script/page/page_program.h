// A page file's bytes made ready to run: translated into script lines, its blocks checked, and
// compiled into a program.
#pragma once

#include <memory>
#include <string_view>

#include "script/program.h"

namespace orvelle::script {

class TExecute;

std::shared_ptr<const Program> CompilePage(std::string_view page_bytes,
                                           EvalMode mode = EvalMode::kFast);

// Sets the names translated pages rebuild their HTML with (q, pc, po). The host seeds them after
// the request's parameters, so no parameter can replace them.
void SeedPageNames(TExecute& engine);

}  // namespace orvelle::script
