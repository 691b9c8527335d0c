// The page checker: one table of quirky lines, each with the finding it must give and where, and
// one table of sound lines that must give none. Each line stands in a page of its own, after an
// HTML line and "<%", so its finding belongs on file line 3.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "script/check/page_check.h"

namespace orvelle::script::check {
namespace {

constexpr std::size_t kLineOfCode = 3;  // the "<p>" line and the "<%" line come first

std::vector<Finding> CheckCode(const std::string& code) {
  return CheckPage("<p>page</p>\n<%\n" + code + "\n%>\n<p>end</p>\n");
}

std::string Describe(const std::vector<Finding>& findings) {
  std::string text;
  for (const Finding& f : findings) text += std::to_string(f.line) + ": " + f.message + "\n";
  return text;
}

struct Quirk {
  std::string code;    // the page's code
  std::string says;    // a piece of the one finding it must give
  std::size_t at = 0;  // the finding's line within the code, 0 for its first line
};

TEST(PageCheck, EveryQuirkGivesItsFindingOnItsLine) {
  const Quirk quirks[] = {
      {"echo(\"x\")", "write `echo (`"},
      {"echo  (\"x\")", "write `echo (`"},
      {"ECHO (\"x\")", "write `echo (`"},
      {"if(a==1)", "write `if (`"},
      {"send(\"x\")", "write `send (`"},
      {"next i", "write `next` alone"},
      {"until", "`until` is no statement"},
      {"endif x", "write `endif` alone"},
      {"end if", "write `endif` alone"},
      {"Wend", "write `wend` alone"},
      {"exit # done", "write `exit` alone"},
      {"shwo", "no procedure call"},
      {"x = \"broken (literal)\"", "write po"},
      {"echo (\"a)\")", "write pc"},
      {"x = \"open", "not closed"},
      {"if (len(s)==5)\nendif", "`len(` inside a condition is not called"},
      {"while (trim(s)<>\"\")\nwend", "`trim(` inside a condition"},
      {"if (a=1)\nendif", "compares nothing"},
      {"if (a>1)\nendif", "compares nothing"},
      {"if (a==1 && b==2)\nendif", "is one relation"},
      {"if (a==1) && (b==2) || (c==3)\nendif", "only the first connector counts"},
      {"if (a==1) then\nendif", "outside the parentheses"},
      {"if (x)\nendif", "holds no relation"},
      {"x = lenn(s)", "`lenn(` calls no built-in"},
      {"x = mid(s,(1),2)", "taken for a call"},
      {"x = len(a, b)", "`len` takes 1 argument, not 2"},
      {"echo (a, b)", "`echo` takes 1 argument"},
      {"openport (\"COM1\", 9600)", "`openport` takes 6 arguments"},
      {"x = 7 % 2", "`%` is no operator"},
      {"x = 1 + 2 * 3", "no precedence"},
      {"echo (\"total \" & 2 + 3)", "arithmetic after &"},
      {"x = \"got \" & receive()", "`receive()` inside a longer expression"},
      {"r = query (\"*IDN?\", chr(10))", "`query` takes 3 arguments, not 2"},
      {"n = len(query (\"PING\", chr(10), 500))", "`query()` inside a longer expression"},
      {"q = \"'\"", "assign another name than `q`"},
      {"for (i, 1, 3, 0)\nnext", "step of 0"},
      {"repeat\nx = until (y==1)", "only a line beginning with `until (`", 1},
      {" procedure show\nprocend", "never called"},
      {"procedure  show\nprocend", "never called"},
      {"procedure show\nprocend\nprocedure SHOW\nprocend", "defined earlier", 2},
      {"next", "`next` closes no open block"},
      {"for (i, 1, 3, 1)\nendif", "`endif` closes no open block", 1},
      {"for (i, 1, 3, 1)\nwhile (a==1)\nnext", "the while block open here closes with wend", 2},
      {"while (a==1)", "a while block still open", 2},
      {"x = 1 %><a href=\"<%=x%>\"><%", "inside this HTML tag"},
  };
  for (const Quirk& quirk : quirks) {
    const std::vector<Finding> findings = CheckCode(quirk.code);
    ASSERT_EQ(findings.size(), 1u) << quirk.code << "\n" << Describe(findings);
    EXPECT_EQ(findings[0].line, kLineOfCode + quirk.at) << quirk.code;
    EXPECT_NE(findings[0].message.find(quirk.says), std::string::npos) << quirk.code << "\n"
                                                                       << Describe(findings);
  }
}

TEST(PageCheck, AnOpenBlockAtTheEndIsPlacedOnTheFilesLastLine) {
  // The lines the translator adds after the last run belong to the file's last line.
  for (const auto& [page, last] : {std::pair<std::string, std::size_t>{"<%\nwhile (a==1)", 2},
                                   {"<%\nwhile (a==1)\n%>\n", 3}}) {
    const std::vector<Finding> findings = CheckPage(page);
    ASSERT_EQ(findings.size(), 1u) << page << "\n" << Describe(findings);
    EXPECT_EQ(findings[0].line, last) << page;
  }
}

TEST(PageCheck, SoundLinesGiveNoFinding) {
  const std::string sound[] = {
      "echo (\"x\")",
      "echo (\"a\" & po & \"b\" & pc & q)",
      "echo (len (\"four\"))",
      "x = 1 + (2 * 3)",
      "x = (1 + 2) * 3",
      "x = \"total \" & (2 + 3)",
      "x = -5 * 2",
      "x = 2 * -3",
      "x = mid(s, 1, len(s))",
      "r = receive()",
      "r = query (\"*IDN?\" & chr(13), chr(10), 2000)",
      "query = 5\necho (query)",
      "t = readfile(\"a.html\")",
      "echo (receive())",
      "split (s, \",\")",
      "# a comment with \"(\" and echo(",
      "if (a==1)\nelseif (b<>\"x\")\nelse\nendif",
      "if ((a==7) || (b==2)) && (c==9)\nendif",
      "if ((a+1)==2)\nendif",
      "while (n<<3)\nn = n + 1\nwend",
      "repeat\nn = n + 1\nuntil (n>=3)",
      "for (i, 1, 3, 1)\nbreak\nnext",
      "procedure show\necho (\"x\")\nexit\nprocend\nshow\nSHOW",
      "openport (\"COM1\", \"9600\", \"8\", \"N\", \"1\", \"none\")",
      "flush ()",
      "flush (3)",
      "closeport ()",
      "send (chr (13))",
      "writefile (\"log.txt\", \"x\")",
      "setrts (1)",
      "exec (\"anything\")",
      "end",
      "# check: off\necho(\"shown on purpose\")\nif (len(s)==5)\nendif\n# check: on",
      "x = 1 %><a href=\"/\"><%=x%></a><%",
      "x = 1 %><p>a < b: <%=x%></p><%",
  };
  for (const std::string& code : sound) {
    EXPECT_EQ(Describe(CheckCode(code)), "") << code;
  }
}

}  // namespace
}  // namespace orvelle::script::check
