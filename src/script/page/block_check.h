// Block-structure check of a translated script, run before the script is allowed to start.
#pragma once

#include <string>
#include <vector>

namespace orvelle::script {

// Checks that for/next, if/endif, while/wend, repeat/until and procedure/procend pair up.
// Returns the error text, empty when the structure is sound. Stops at the first unexpected
// closer; an open block left at the end adds CR LF and a line naming the innermost one.
std::string CheckBlocks(const std::vector<std::string>& lines);

}  // namespace orvelle::script
