// Translation with a map back to file lines. The page is cut into its HTML and code runs, each
// run goes through the real translator on its own, and the pieces are numbered by the file line
// their run starts on; the fuzz target proves the pieces join up to the whole page's translation.
#include "script/check/page_source.h"

#include <algorithm>

#include "script/page/block_check.h"
#include "script/page/page_text.h"
#include "script/page/page_translation.h"

namespace orvelle::script::check {
namespace {

constexpr std::string_view kCodeOpener = "<%";
constexpr std::string_view kCodeCloser = "%>";
constexpr std::string_view kHtmlLeading = "\r\n\t";  // the translator drops these before HTML

std::size_t CountBreaks(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

bool IsTagLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '/' || c == '!';
}

// Whether an HTML tag is still open after `html`, given whether one was open before it.
bool TagOpenAfter(std::string_view html, bool open) {
  for (std::size_t i = 0; i < html.size(); ++i) {
    if (html[i] == '>') open = false;
    if (html[i] == '<' && i + 1 < html.size() && IsTagLetter(html[i + 1])) open = true;
  }
  return open;
}

class RunWalk {
 public:
  // `last_line`: the file's last line, where the line the translator adds after a code run
  // that ends the file is placed.
  RunWalk(PageSource& out, std::size_t last_line) : out_(out), last_line_(last_line) {}

  void Html(std::string_view run) {
    // The line of the run's first byte that the translator keeps, or of its start when none.
    std::size_t skip = run.find_first_not_of(kHtmlLeading);
    if (skip == std::string_view::npos) skip = 0;
    Add(script::TranslatePage(run), line_ + CountBreaks(run.substr(0, skip)), false);
    line_ += CountBreaks(run);
    in_tag_ = TagOpenAfter(run, in_tag_);
  }

  void Code(std::string_view run) {
    std::string page(kCodeOpener);
    page += run;
    page += kCodeCloser;
    Add(script::TranslatePage(page), line_, true);
    line_ += CountBreaks(run);
  }

 private:
  void Add(const std::string& script, std::size_t first_line, bool code) {
    std::size_t line = first_line;
    for (std::string& text : script::SplitLines(script)) {
      out_.lines.push_back({std::move(text), std::min(line, last_line_), code, code && in_tag_});
      line += code ? 1 : 0;
    }
  }

  PageSource& out_;
  const std::size_t last_line_;
  std::size_t line_ = 1;
  bool in_tag_ = false;
};

// Every line of the file followed by CR LF, as the server hands a page to the translator.
std::string Normalised(std::string_view bytes) {
  return script::JoinLines(script::SplitLines(bytes));
}

}  // namespace

PageSource LoadPageSource(std::string_view bytes) {
  const std::string text = Normalised(bytes);
  PageSource source;
  RunWalk walk(source, std::max<std::size_t>(CountBreaks(text), 1));
  std::size_t pos = 0;
  bool html = true;
  while (pos < text.size()) {
    std::string_view delimiter = html ? kCodeOpener : kCodeCloser;
    std::size_t found = std::min(text.find(delimiter, pos), text.size());
    std::string_view run = std::string_view(text).substr(pos, found - pos);
    html ? walk.Html(run) : walk.Code(run);
    pos = found + delimiter.size();
    html = !html;
  }
  std::vector<std::string> lines;
  lines.reserve(source.lines.size());
  for (const SourceLine& line : source.lines) lines.push_back(line.text);
  source.block_error = script::CheckBlocks(lines);
  return source;
}

std::vector<std::string> TranslatedLines(std::string_view bytes) {
  return script::SplitLines(script::TranslatePage(Normalised(bytes)));
}

}  // namespace orvelle::script::check
