// Translation with a map back to file lines: the compiler's own translator gives the lines and
// the place of each; the fuzz target proves they are the whole page's translation.
#include "script/check/page_source.h"

#include "script/page/block_check.h"
#include "script/page/page_text.h"
#include "script/page/page_translation.h"

namespace orvelle::script::check {

PageSource LoadPageSource(std::string_view bytes) {
  std::vector<LinePlace> places;
  std::vector<std::string> lines = script::TranslatePageLines(bytes, &places);
  PageSource source;
  source.block_error = script::CheckBlocks(lines);
  source.lines.reserve(lines.size());
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const LinePlace& place = places[k];
    source.lines.push_back(
        {std::move(lines[k]), place.file_line, place.from_code, place.inside_tag});
  }
  return source;
}

std::vector<std::string> TranslatedLines(std::string_view bytes) {
  // The text form of the translator on the page as the server hands it over: every line
  // followed by CR LF.
  return script::SplitLines(script::TranslatePage(script::JoinLines(script::SplitLines(bytes))));
}

}  // namespace orvelle::script::check
