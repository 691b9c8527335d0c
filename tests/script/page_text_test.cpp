// Tests of line splitting and joining.
#include "script/page/page_text.h"

#include <gtest/gtest.h>

namespace orvelle::script {
namespace {

using Lines = std::vector<std::string>;

struct SplitCase {
  std::string name;
  std::string text;
  Lines lines;
};

TEST(SplitLinesTest, LineBreakRules) {
  const std::vector<SplitCase> cases = {
      {"empty", "", {}},
      {"no break", "abc", {"abc"}},
      {"crlf", "a\r\nb\r\n", {"a", "b"}},
      {"lone lf", "a\nb", {"a", "b"}},
      {"lone cr", "a\rb\r", {"a", "b"}},
      {"mixed", "a\r\nb\nc\rd", {"a", "b", "c", "d"}},
      {"cr before crlf", "a\r\r\nb", {"a", "", "b"}},
      {"lf then cr is two breaks", "a\n\rb", {"a", "", "b"}},
      {"only breaks", "\r\n\n\r", {"", "", ""}},
      {"nul ends text", std::string("a\nb\0c\nd", 7), {"a", "b"}},
      {"nul at start", std::string("\0abc", 4), {}},
      {"high bytes kept", "\xe9\xff\x80\n\x01", {"\xe9\xff\x80", "\x01"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitLines(c.text), c.lines) << c.name;
}

TEST(JoinLinesTest, EveryLineEndsWithCrLf) {
  EXPECT_EQ(JoinLines({}), "");
  EXPECT_EQ(JoinLines({""}), "\r\n");
  EXPECT_EQ(JoinLines({"a", "", "b"}), "a\r\n\r\nb\r\n");
  Lines lines = {"x", "", "y z", ""};
  EXPECT_EQ(SplitLines(JoinLines(lines)), lines);
}

}  // namespace
}  // namespace orvelle::script
