// StripBlanks, SplitCall and FindRelOp on the texts that decide how lines split.
#include "script/text_scan.h"

#include <gtest/gtest.h>

namespace orvelle::script {
namespace {

TEST(StripBlanksTest, KeepsBlanksInsideQuotesAndTabs) {
  EXPECT_EQ(StripBlanks("  a + \"b c\" & d  "), "a+\"b c\"&d");
  EXPECT_EQ(StripBlanks("a\t+ b"), "a\t+b");
  EXPECT_EQ(StripBlanks("\"x"), "\"x");
}

TEST(SplitCallTest, ArgumentsAtTopLevelCommas) {
  struct Case {
    const char* text;
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"f(a, \"x,y\")", "f", {"a", "\"x,y\""}},
      {"f()", "f", {}},
      {"f( )", "f", {}},
      {"f(a,,b)", "f", {"a", "", "b"}},
      {"mid (s, 1, 2)", "mid", {"s", "1", "2"}},
      {"f(g(a,b),c)", "f", {"g(a,b)", "c"}},
      {"noparen", "", {}},
      {"f(a", "f", {}},
      {"f(a) tail", "f", {"a"}},
      {"f(,a)", "f", {",a"}},
      {"echo ( x )", "echo", {"x"}},
  };
  for (const Case& c : cases) {
    SplitResult split = SplitCall(c.text);
    EXPECT_EQ(split.name, c.name) << c.text;
    EXPECT_EQ(split.args, c.args) << c.text;
  }
}

TEST(FindRelOpTest, TableOrderWinsOverPosition) {
  RelOpMatch match = FindRelOp("a<>b==c");
  ASSERT_TRUE(match.found);
  EXPECT_EQ(match.op, RelOp::kEqual);
  EXPECT_EQ(match.position, 4u);
  EXPECT_FALSE(FindRelOp("a=1").found);
  EXPECT_FALSE(FindRelOp("a>1").found);
}

TEST(CompareNumbersTest, NumbersOrCharacterSums) {
  double a, b;
  CompareNumbers("10", "9", a, b);
  EXPECT_GT(a, b);
  CompareNumbers("ab", "b", a, b);
  EXPECT_EQ(a, 195);
  EXPECT_EQ(b, 98);
  CompareNumbers("abc", "5", a, b);
  EXPECT_EQ(a, 294);
  EXPECT_EQ(b, 53);
}

}  // namespace
}  // namespace orvelle::script
