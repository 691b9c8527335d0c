// `orvelle check PAGE...`: reports what a page author would want to know, without running.
#pragma once

#include <string>
#include <vector>

namespace orvelle::cli {

// Prints one line per finding on stdout; returns 0 when every page is clean, 1 when there is a
// finding, 2 when a page cannot be read (with a line on stderr).
int RunCheck(const std::vector<std::string>& pages);

}  // namespace orvelle::cli
