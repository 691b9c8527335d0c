// Turning a script page (HTML with "<%" ... "%>" code) into the lines of one script.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvelle::script {

// Translates the page text into script text: every HTML run becomes an echo of a string
// expression, every code run is copied as it stands, and a code run starting with "=" becomes an
// echo of the rest. Every produced line is followed by CR LF. Never fails; linear in the input.
std::string TranslatePage(std::string_view page_text);

// Where a script line came from in its page file.
struct LinePlace {
  std::size_t file_line = 1;  // 1-based line of the page file where it starts
  bool from_code = false;     // written by the author between <% and %>, not made from HTML
  bool inside_tag = false;    // its code run stands inside an HTML tag, e.g. href="<%=x%>"
};

// A page file's bytes straight into script lines: the lines that splitting the translation of the
// page gives once its lines are joined with CR LF (a NUL byte ending the page), without building
// those texts. Given `places`, fills it with the place of every line (the line map).
std::vector<std::string> TranslatePageLines(std::string_view page_bytes,
                                            std::vector<LinePlace>* places = nullptr);

// Turns one HTML run into a string expression of the script language that rebuilds it byte for
// byte. Leading CR, LF and TAB are dropped. Literals never hold a quote, "&" or a parenthesis,
// so the translated line can never be mistaken for code structure.
std::string HtmlToExpression(std::string_view html_run);

}  // namespace orvelle::script
