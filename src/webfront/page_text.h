// Line lists of page and configuration text: splitting on any line break, joining with CR LF,
// and reading a page file into lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvelle::webfront {

// Splits text into lines. A line ends at CR LF, a lone LF or a lone CR; a NUL byte ends the
// text; text after the last line break is a last line only when it is not empty.
std::vector<std::string> SplitLines(std::string_view text);

// Joins lines into one text, every line followed by CR LF.
std::string JoinLines(const std::vector<std::string>& lines);

// Reads a page file and splits it with SplitLines. Throws like base::ReadFileBytes.
std::vector<std::string> LoadPageLines(const std::string& path);

}  // namespace orvelle::webfront
