// Tests of page-to-script translation: exact output for each delimiter case, a decoding
// round trip of HTML expressions, and very large pages.
#include "script/page/page_translation.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "script/page/page_text.h"

namespace orvelle::script {
namespace {

struct TranslateCase {
  std::string name;
  std::string page;
  std::string script;
};

TEST(TranslatePageTest, DelimiterCases) {
  const std::vector<TranslateCase> cases = {
      {"empty page", "", ""},
      {"html only", "hello\r\n", "echo (\"hello\"&chr (13)&chr (10))\r\n"},
      {"starts with code", "<% x = 1%>", " x = 1\r\n"},
      {"expression in html", "<p><%=x%></p>\r\n",
       "echo (\"<p>\")\r\necho (x)\r\necho (\"</p>\"&chr (13)&chr (10))\r\n"},
      {"unclosed code takes the rest", "<% x = 1\r\n", " x = 1\r\n\r\n"},
      {"expression keeps blanks", "<%= x %>", "echo ( x )\r\n"},
      {"blank before marker is code", "<% =x %>", " =x \r\n"},
      {"empty code run", "<%%>", "\r\n"},
      {"break-only html run", "<%a%>\r\n\t<%b%>", "a\r\necho (\"\")\r\nb\r\n"},
      {"closer in html is text", "a%>b", "echo (\"a%>b\")\r\n"},
      {"closer inside string ends code", "<% echo (\"%>\") %>",
       " echo (\"\r\necho (\"\"&q&pc&\" %>\")\r\n"},
      {"opener at end", "x<%", "echo (\"x\")\r\n"},
      {"unclosed expression", "<%=x", "echo (x)\r\n"},
      {"inner line breaks copied", "<%a\r\nb%>", "a\r\nb\r\n"},
      {"percent before closer", "<%%%>", "%\r\n"},
      {"angle before opener", "<<%a%>", "echo (\"<\")\r\na\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(TranslatePage(c.page), c.script) << c.name;
}

struct ExpressionCase {
  std::string run;
  std::string expression;
};

TEST(HtmlToExpressionTest, ExactForms) {
  const std::vector<ExpressionCase> cases = {
      {"<a href=\"x.htm\">Go (now)</a>\r\n",
       "\"<a href=\"&q&\"x.htm\"&q&\">Go \"&po&\"now\"&pc&\"</a>\"&chr (13)&chr (10)"},
      {"", "\"\""},
      {"\r\n\t\n", "\"\""},
      {"(x", "\"\"&po&\"x\""},
      {" a ", "\" a \""},
      {"a&b", "\"a\"&chr (38)&\"b\""},
      {"\r\n x\t", "\" x\"&chr (9)"},
      {"\"\"", "\"\"&q&q"},
      {"\xe9\xff\x80", "\"\xe9\xff\x80\""},
      {"a\rb", "\"a\"&chr (13)&\"b\""},
  };
  for (const auto& c : cases) EXPECT_EQ(HtmlToExpression(c.run), c.expression) << c.run;
}

// Evaluates an expression made only of literals, "&", chr (N), q, po and pc; nullopt when the
// expression has any other form.
std::optional<std::string> Evaluate(std::string_view expr) {
  std::string value;
  for (bool first = true; !expr.empty() || first; first = false) {
    if (!first) {
      if (expr.front() != '&') return std::nullopt;
      expr.remove_prefix(1);
    }
    if (expr.starts_with("\"")) {
      std::size_t close = expr.find('"', 1);
      if (close == std::string_view::npos) return std::nullopt;
      std::string_view literal = expr.substr(1, close - 1);
      if (literal.find_first_of("()&") != std::string_view::npos) return std::nullopt;
      value += literal;
      expr.remove_prefix(close + 1);
    } else if (expr.starts_with("chr (")) {
      std::size_t close = expr.find(')');
      if (close == std::string_view::npos) return std::nullopt;
      value += static_cast<char>(std::stoi(std::string(expr.substr(5, close - 5))));
      expr.remove_prefix(close + 1);
    } else if (expr.starts_with("q")) {
      value += '"';
      expr.remove_prefix(1);
    } else if (expr.starts_with("po") || expr.starts_with("pc")) {
      value += expr[1] == 'o' ? '(' : ')';
      expr.remove_prefix(2);
    } else {
      return std::nullopt;
    }
  }
  return value;
}

TEST(HtmlToExpressionTest, RandomRunsDecodeToTheRunWithoutLeadingBreaks) {
  constexpr int kRuns = 2000;
  constexpr int kMaxLength = 40;
  const std::string alphabet = "\t\n\r\"&()<>= %ab\xe9\xff";
  std::mt19937 random(12345);
  for (int i = 0; i < kRuns; ++i) {
    std::string run;
    int length = static_cast<int>(random() % kMaxLength);
    for (int k = 0; k < length; ++k) run += alphabet[random() % alphabet.size()];
    std::size_t start = run.find_first_not_of("\r\n\t");
    std::string expected = start == std::string::npos ? "" : run.substr(start);
    EXPECT_EQ(Evaluate(HtmlToExpression(run)), expected) << "run #" << i;
  }
}

TEST(TranslatePageTest, TenMegabyteSingleLinePage) {
  constexpr std::size_t kPairs = 5 * 1024 * 1024;  // "a(" pairs: 10 MB
  std::string page;
  page.reserve(2 * kPairs);
  for (std::size_t i = 0; i < kPairs; ++i) page += "a(";
  std::string script = TranslatePage(page);
  // "a"&po first, then &"a"&po for each further pair, inside echo ( ) and CR LF.
  EXPECT_EQ(script.size(), 6 + 7 * (kPairs - 1) + 9);
  EXPECT_TRUE(script.starts_with("echo (\"a\"&po&\"a\"&po"));
  EXPECT_TRUE(script.ends_with("&\"a\"&po)\r\n"));
}

TEST(TranslatePageTest, HundredThousandLinePage) {
  constexpr std::size_t kLines = 100000;
  std::vector<std::string> page_lines(kLines, "<%=x%>");
  std::vector<std::string> script = SplitLines(TranslatePage(JoinLines(page_lines)));
  // Each page line gives the expression's echo and the echo of the line break after it.
  ASSERT_EQ(script.size(), 2 * kLines);
  for (std::size_t i = 0; i < script.size(); i += 2) {
    ASSERT_EQ(script[i], "echo (x)") << i;
    ASSERT_EQ(script[i + 1], "echo (\"\")") << i;
  }
}

// The direct translation into lines gives exactly the lines of the text round trip it replaces:
// split, join with CR LF, translate, split again.
TEST(TranslatePageLinesTest, RandomPagesGiveTheLinesOfTheTextRoundTrip) {
  constexpr int kPages = 5000;
  constexpr int kMaxLength = 60;
  const std::string alphabet = std::string("<%>=\r\n\t\"&() ab") + std::string(1, '\0');
  std::mt19937 random(4242);
  for (int i = 0; i < kPages; ++i) {
    std::string page;
    int length = static_cast<int>(random() % kMaxLength);
    for (int k = 0; k < length; ++k) page += alphabet[random() % alphabet.size()];
    EXPECT_EQ(TranslatePageLines(page), SplitLines(TranslatePage(JoinLines(SplitLines(page)))))
        << "page #" << i << ": " << ::testing::PrintToString(page);
  }
}

// The line map: every translated line names the file line it starts on, whether the author wrote
// it as code, and whether its code stands inside an HTML tag.
TEST(TranslatePageLinesTest, PlacesNameTheFileLineOfEveryLine) {
  const std::string page =
      "<p>\r\n"                // 1
      "<a href=\"<%=u%>\">\n"  // 2
      "<%\n"                   // 3
      "x = 1\n"                // 4
      "%>\n"                   // 5
      "\n"                     // 6
      "tail<% y = 2";          // 7, the code running on to the end
  std::vector<LinePlace> places;
  const std::vector<std::string> lines = TranslatePageLines(page, &places);
  struct Expected {
    std::string text;
    std::size_t file_line;
    bool from_code, inside_tag;
  };
  const std::vector<Expected> expected = {
      {"echo (\"<p>\"&chr (13)&chr (10)&\"<a href=\"&q)", 1, false, false},
      {"echo (u)", 2, true, true},
      {"echo (\"\"&q&\">\"&chr (13)&chr (10))", 2, false, false},
      {"", 3, true, false},
      {"x = 1", 4, true, false},
      {"", 5, true, false},
      {"echo (\"tail\")", 7, false, false},  // the leading line breaks are dropped
      {" y = 2", 7, true, false},
      {"", 7, true, false},  // the line after the last: placed on the file's last line
  };
  ASSERT_EQ(lines.size(), expected.size());
  ASSERT_EQ(places.size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(lines[k], expected[k].text) << k;
    EXPECT_EQ(places[k].file_line, expected[k].file_line) << k;
    EXPECT_EQ(places[k].from_code, expected[k].from_code) << k;
    EXPECT_EQ(places[k].inside_tag, expected[k].inside_tag) << k;
  }
}

}  // namespace
}  // namespace orvelle::script
