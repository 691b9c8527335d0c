// Line lists of page and configuration text: splitting on any line break and joining with CR LF.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvelle::script {

// Splits text into lines. A line ends at CR LF, a lone LF or a lone CR; a NUL byte ends the
// text; text after the last line break is a last line only when it is not empty.
std::vector<std::string> SplitLines(std::string_view text);

// Joins lines into one text, every line followed by CR LF.
std::string JoinLines(const std::vector<std::string>& lines);

}  // namespace orvelle::script
