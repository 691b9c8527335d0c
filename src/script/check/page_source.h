// A page as the checker sees it: the script lines it translates into, each with the page-file
// line it came from, and the block check's verdict. The one place that calls the translator.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvelle::script::check {

struct SourceLine {
  std::string text;           // the script line as the engine gets it (untrimmed)
  std::size_t file_line = 1;  // 1-based line of the page file where it starts
  bool from_code = false;     // written by the author between <% and %>, not made from HTML
  bool inside_tag = false;    // its code run stands inside an HTML tag, e.g. href="<%=x%>"
};

struct PageSource {
  std::vector<SourceLine> lines;
  std::string block_error;  // the block check's text, empty when the blocks pair up
};

// Translates the page exactly as the server does and maps every script line back to the file.
PageSource LoadPageSource(std::string_view bytes);

// The script lines alone, as the server translates them (for comparing with the mapped ones).
std::vector<std::string> TranslatedLines(std::string_view bytes);

}  // namespace orvelle::script::check
