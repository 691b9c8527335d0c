// Page-to-script translation: splits the page at the code delimiters and converts HTML runs into
// string expressions.
#include "webfront/page_translation.h"

#include <algorithm>

namespace orvelle::webfront {
namespace {

constexpr std::string_view kCodeOpener = "<%";
constexpr std::string_view kCodeCloser = "%>";
constexpr char kExpressionMarker = '=';
constexpr std::string_view kLineBreak = "\r\n";
constexpr std::string_view kEchoOpen = "echo (";
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

std::string HtmlToExpression(std::string_view html_run) {
  std::string out;
  out.reserve(html_run.size() + 2);
  AppendHtmlExpression(html_run, out);
  return out;
}

}  // namespace orvelle::webfront
