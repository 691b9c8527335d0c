// Turning a script page (HTML with "<%" ... "%>" code) into the lines of one script.
#pragma once

#include <string>
#include <string_view>

namespace orvelle::webfront {

// Translates the page text into script text: every HTML run becomes an echo of a string
// expression, every code run is copied as it stands, and a code run starting with "=" becomes an
// echo of the rest. Every produced line is followed by CR LF. Never fails; linear in the input.
std::string TranslatePage(std::string_view page_text);

// Turns one HTML run into a string expression of the script language that rebuilds it byte for
// byte. Leading CR, LF and TAB are dropped. Literals never hold a quote, "&" or a parenthesis,
// so the translated line can never be mistaken for code structure.
std::string HtmlToExpression(std::string_view html_run);

}  // namespace orvelle::webfront
