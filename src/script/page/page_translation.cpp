// Page-to-script translation: splits the page at the code delimiters and converts HTML runs into
// string expressions.
#include "script/page/page_translation.h"

#include <algorithm>

#include "script/keywords.h"

namespace orvelle::script {
namespace {

constexpr std::string_view kCodeOpener = "<%";
constexpr std::string_view kCodeCloser = "%>";
constexpr char kExpressionMarker = '=';
constexpr std::string_view kLineBreak = "\r\n";
const std::string_view kEchoOpen = Lead(LineKind::kEcho);  // what each echoed piece begins with
constexpr std::string_view kEchoClose = ")";

constexpr std::string_view kLeadingBreaks = "\r\n\t";      // dropped from the start of an HTML run
constexpr std::string_view kEscapedBytes = "\t\n\r\"&()";  // never written inside a literal

// What a byte of kEscapedBytes turns into, after the "&" that joins it.
std::string_view EscapedPiece(char c) {
  switch (c) {
    case '\t':
      return "chr (9)";
    case '\n':
      return "chr (10)";
    case '\r':
      return "chr (13)";
    case '"':
      return "q";
    case '&':
      return "chr (38)";
    case '(':
      return "po";
    case ')':
      return "pc";
    default:
      return {};
  }
}

void AppendHtmlExpression(std::string_view run, std::string& out) {
  std::size_t skip = run.find_first_not_of(kLeadingBreaks);
  run.remove_prefix(skip == std::string_view::npos ? run.size() : skip);
  out += '"';
  bool in_literal = true;
  while (!run.empty()) {
    std::size_t plain = std::min(run.find_first_of(kEscapedBytes), run.size());
    if (plain > 0) {
      if (!in_literal) out += "&\"";
      out += run.substr(0, plain);
      in_literal = true;
    } else {
      out += in_literal ? "\"&" : "&";
      out += EscapedPiece(run.front());
      in_literal = false;
      plain = 1;
    }
    run.remove_prefix(plain);
  }
  if (in_literal) out += '"';
}

void AppendHtmlRun(std::string_view run, std::string& out) {
  if (run.empty()) return;
  out += kEchoOpen;
  AppendHtmlExpression(run, out);
  out += kEchoClose;
  out += kLineBreak;
}

void AppendCodeRun(std::string_view run, std::string& out) {
  if (!run.empty() && run.front() == kExpressionMarker) {
    out += kEchoOpen;
    out += run.substr(1);
    out += kEchoClose;
  } else {
    out += run;
  }
  out += kLineBreak;
}

}  // namespace

std::string TranslatePage(std::string_view page_text) {
  std::string out;
  out.reserve(page_text.size());
  std::size_t pos = 0;
  bool html_mode = true;
  while (pos < page_text.size()) {
    std::string_view delimiter = html_mode ? kCodeOpener : kCodeCloser;
    std::size_t found = page_text.find(delimiter, pos);
    if (found == std::string_view::npos) found = page_text.size();
    std::string_view run = page_text.substr(pos, found - pos);
    if (html_mode) {
      AppendHtmlRun(run, out);
    } else {
      AppendCodeRun(run, out);
    }
    pos = found + delimiter.size();
    html_mode = !html_mode;
  }
  return out;
}

namespace {

// The page with every line break made CR LF and the last line closed by one, as splitting it
// into lines and joining them again gives it.
std::string JoinedWithCrLf(std::string_view bytes) {
  bytes = bytes.substr(0, bytes.find('\0'));
  std::string out;
  out.reserve(bytes.size() + kLineBreak.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c != '\r' && c != '\n') {
      out += c;
      continue;
    }
    out += kLineBreak;
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
  }
  if (!out.empty() && !out.ends_with(kLineBreak)) out += kLineBreak;
  return out;
}

// Every CR LF ends a line; what follows the last one is a line too, even when empty.
void AppendSplit(std::string_view text, std::vector<std::string>& lines) {
  for (;;) {
    std::size_t end = text.find(kLineBreak);
    lines.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + kLineBreak.size());
  }
}

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

// Builds the lines run by run, and where asked, the place of each in the page file.
class LineBuilder {
 public:
  // `last_line`: the file's last line, where a line past the end (the one after a code run
  // that ends the file) is placed.
  LineBuilder(std::vector<std::string>& lines, std::vector<LinePlace>* places,
              std::size_t last_line)
      : lines_(lines), places_(places), last_line_(last_line) {}

  void Html(std::string_view run) {
    if (!run.empty()) {
      std::string echo(kEchoOpen);
      AppendHtmlExpression(run, echo);
      echo += kEchoClose;
      lines_.push_back(std::move(echo));
      // The line of the run's first byte that is kept, or of its start when none is.
      const std::size_t kept = run.find_first_not_of(kLeadingBreaks);
      Place(line_ + CountBreaks(run.substr(0, kept == std::string_view::npos ? 0 : kept)), false);
    }
    line_ += CountBreaks(run);
    in_tag_ = TagOpenAfter(run, in_tag_);
  }

  void Code(std::string_view run) {
    const std::size_t first = lines_.size();
    if (run.empty() || run.front() != kExpressionMarker) {
      AppendSplit(run, lines_);
    } else {
      std::string echo(kEchoOpen);
      echo += run.substr(1);
      echo += kEchoClose;
      AppendSplit(echo, lines_);
    }
    for (std::size_t k = first; k < lines_.size(); ++k) Place(line_ + (k - first), true);
    line_ += CountBreaks(run);
  }

 private:
  void Place(std::size_t line, bool code) {
    if (places_) places_->push_back({std::min(line, last_line_), code, code && in_tag_});
  }

  std::vector<std::string>& lines_;
  std::vector<LinePlace>* places_;
  const std::size_t last_line_;
  std::size_t line_ = 1;
  bool in_tag_ = false;
};

}  // namespace

std::vector<std::string> TranslatePageLines(std::string_view page_bytes,
                                            std::vector<LinePlace>* places) {
  const std::string page = JoinedWithCrLf(page_bytes);
  std::vector<std::string> lines;
  LineBuilder builder(lines, places, std::max<std::size_t>(CountBreaks(page), 1));
  std::size_t pos = 0;
  bool html_mode = true;
  while (pos < page.size()) {
    std::string_view delimiter = html_mode ? kCodeOpener : kCodeCloser;
    std::size_t found = std::min(page.find(delimiter, pos), page.size());
    std::string_view run = std::string_view(page).substr(pos, found - pos);
    html_mode ? builder.Html(run) : builder.Code(run);
    pos = found + delimiter.size();
    html_mode = !html_mode;
  }
  return lines;
}

std::string HtmlToExpression(std::string_view html_run) {
  std::string out;
  out.reserve(html_run.size() + 2);
  AppendHtmlExpression(html_run, out);
  return out;
}

}  // namespace orvelle::script
