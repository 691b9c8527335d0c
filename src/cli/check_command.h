// `orvelle check PAGE...`: reports what a page author would want to know, without running.
#pragma once

#include <string>
#include <vector>

namespace orvelle::cli {

// Checks each page, and every .ovs file below each folder given. Prints one line per finding on
// stdout, or "N pages, no findings"; returns 0 when every page is clean, 1 when there is a
// finding, 2 when a page cannot be read (with a line on stderr).
int RunCheck(const std::vector<std::string>& args);

}  // namespace orvelle::cli
