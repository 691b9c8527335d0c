// Tests of the block-structure check over translated script lines.
#include "script/page/block_check.h"

#include <gtest/gtest.h>

#include "script/page/page_text.h"
#include "script/page/page_translation.h"

namespace orvelle::script {
namespace {

struct BlockCase {
  std::string name;
  std::vector<std::string> lines;
  std::string error;
};

TEST(CheckBlocksTest, StructureCases) {
  const std::vector<BlockCase> cases = {
      {"no lines", {}, ""},
      {"all blocks paired",
       {"while (a)", "wend", "repeat", "until (x)", "procedure p", "for (i)", "if (b)", "endif",
        "next", "procend"},
       ""},
      {"mismatch then open block",
       {"if (a)", "for (i)", "endif"},
       "Error: unexpected endif on line 3\r\nError: unterminated block (for)"},
      {"stray next", {"next"}, "Error: unexpected next on line 1"},
      {"stray wend", {"x", "wend"}, "Error: unexpected wend on line 2"},
      {"stray procend", {"procend"}, "Error: unexpected procend on line 1"},
      {"open while", {"while (x)"}, "\r\nError: unterminated block (while)"},
      {"innermost named", {"while (a)", "if (b)"}, "\r\nError: unterminated block (if)"},
      {"until anywhere closes repeat", {"repeat", "x = until (y)"}, ""},
      {"until without repeat", {"x = until (y)"}, "Error: unexpected until on line 1"},
      {"case-sensitive opener", {"For (x)", "next"}, "Error: unexpected next on line 2"},
      {"elseif opens nothing", {"if (a)", "elseif (b)", "else", "endif"}, ""},
      {"stray elseif", {"elseif (b)", "endif"}, "Error: unexpected endif on line 2"},
      {"walk stops at error", {"endif", "for (i)"}, "Error: unexpected endif on line 1"},
      {"trims blanks and controls",
       {" \t for (i)\r", "\x01next \x1f", "repeat  "},
       "\r\nError: unterminated block (repeat)"},
      {"high bytes are not blanks", {"for (i)", "\xa0next"}, "\r\nError: unterminated block (for)"},
      {"opener needs its blank", {"if(a)", "endif"}, "Error: unexpected endif on line 2"},
      {"procedure needs a name", {"procedure", "procend"}, "Error: unexpected procend on line 2"},
      {"repeat must stand alone", {"repeat x", "until (y)"}, "Error: unexpected until on line 2"},
      {"opener line is no closer",
       {"repeat", "if (until (x))"},
       "\r\nError: unterminated block (if)"},
      {"closer words must stand alone",
       {"for (i)", "next i"},
       "\r\nError: unterminated block (for)"},
  };
  for (const auto& c : cases) EXPECT_EQ(CheckBlocks(c.lines), c.error) << c.name;
}

TEST(CheckBlocksTest, LineNumbersCountTranslatedLines) {
  std::string page = "<p>\r\none\r\ntwo\r\nthree\r\n</p>\r\n<%next%>";
  EXPECT_EQ(CheckBlocks(SplitLines(TranslatePage(page))), "Error: unexpected next on line 2");
}

TEST(CheckBlocksTest, HtmlNeverOpensOrClosesBlocks) {
  std::string page = "if (x)\r\nnext\r\nrepeat\r\n<%for (i)%>until (z)<%next%>";
  EXPECT_EQ(CheckBlocks(SplitLines(TranslatePage(page))), "");
}

TEST(CheckBlocksTest, DeepNesting) {
  constexpr std::size_t kDepth = 100000;
  std::vector<std::string> lines(kDepth, "for (i)");
  EXPECT_EQ(CheckBlocks(lines), "\r\nError: unterminated block (for)");
  lines.insert(lines.end(), kDepth, "next");
  EXPECT_EQ(CheckBlocks(lines), "");
  lines.push_back("next");
  EXPECT_EQ(CheckBlocks(lines), "Error: unexpected next on line 200001");
}

}  // namespace
}  // namespace orvelle::script
