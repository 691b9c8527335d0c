// THeaderList lookups, continuation lines and replacement; cookie parsing and texts.
#include "http/header_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "http/cookies.h"

namespace orvelle::http {
namespace {

using ::testing::ElementsAre;

TEST(HeaderListTest, LookupFoldsContinuationLinesAndIgnoresCase) {
  THeaderList headers;
  for (const char* line : {"Host:   a.test", "X-Fold: one", "\t two", "  three", "Bare line",
                           "x-fold: second", "Trail: end ", " more"}) {
    headers.Add(line);
  }
  EXPECT_EQ(headers.Value("HOST"), "a.test");
  EXPECT_EQ(headers.Value("X-Fold"), "one two three");
  EXPECT_EQ(headers.Value("Trail"), "end more");  // no second blank after a trailing one
  EXPECT_EQ(headers.Value("Missing"), "");
  EXPECT_THAT(headers.Extract("x-FOLD"), ElementsAre("one two three", "second"));
  EXPECT_EQ(THeaderList::NameOf("Bare line"), "");
}

TEST(HeaderListTest, SetValueReplacesInPlaceAppendsAndDeletes) {
  THeaderList headers;
  headers.SetValue("A", "1");
  headers.SetValue("B", "2");
  headers.SetValue("a", "3");
  EXPECT_THAT(headers.Lines(), ElementsAre("a: 3", "B: 2"));
  headers.SetValue("A", "");
  EXPECT_THAT(headers.Lines(), ElementsAre("B: 2"));
  headers.SetValue("Nope", "");
  EXPECT_EQ(headers.Count(), 1u);
}

struct CookieCase {
  std::string header;
  std::vector<std::vector<std::string>> cookies;  // name, value, path, domain
};

TEST(CookieTest, ParseCookieHeaderCases) {
  const std::vector<CookieCase> cases = {
      {"a=1; b=2", {{"a", "1", "", ""}, {"b", "2", "", ""}}},
      {"a=1;b=2", {{"a", "1", "", ""}, {"b", "2", "", ""}}},
      {"a=\"x;y\"; b=2", {{"a", "x;y", "", ""}, {"b", "2", "", ""}}},
      {"a=\"say \"\"hi\"\"\"", {{"a", "say \"hi\"", "", ""}}},
      {"a=\"open", {{"a", "open", "", ""}}},
      {"a=1; $Path=/p; $Domain=d; b=2", {{"a", "1", "/p", "d"}, {"b", "2", "", ""}}},
      {"a=1; $path=/q; $Other=z", {{"a", "1", "/q", ""}}},
      {"$Version=1; a=1", {{"$Version", "1", "", ""}, {"a", "1", "", ""}}},
      {"a=1; junk; b=2", {{"a", "1", "", ""}, {"junk; b", "2", "", ""}}},
      {"a= 1", {{"a", " 1", "", ""}}},
      {"=v; x", {{"", "v", "", ""}}},
      {"\x01 n \x02=v", {{"n", "v", "", ""}}},
      {"no equals", {}},
      {"", {}},
  };
  for (const CookieCase& c : cases) {
    SCOPED_TRACE(c.header);
    TCookieCollection collection;
    collection.ParseCookieHeader(c.header);
    ASSERT_EQ(collection.Count(), c.cookies.size());
    for (std::size_t i = 0; i < c.cookies.size(); ++i) {
      EXPECT_EQ(collection[i].Name, c.cookies[i][0]);
      EXPECT_EQ(collection[i].Value, c.cookies[i][1]);
      EXPECT_EQ(collection[i].Path, c.cookies[i][2]);
      EXPECT_EQ(collection[i].Domain, c.cookies[i][3]);
    }
  }
}

TEST(CookieTest, FindCookieStartsAtTheGivenIndex) {
  TCookieCollection collection;
  collection.ParseCookieHeader("a=1");
  collection.ParseCookieHeader("b=2; A=3");
  EXPECT_EQ(collection.FindCookie(0, "A"), 0);
  EXPECT_EQ(collection.FindCookie(1, "a"), 2);
  EXPECT_EQ(collection.FindCookie(3, "a"), -1);
  EXPECT_EQ(collection.FindCookie(0, "c"), -1);
  EXPECT_EQ(collection.FindCookie(99, "a"), -1);
}

TEST(CookieTest, CookieTextOrderOfParts) {
  TCookie cookie;
  cookie.Name = "s";
  cookie.Value = "42";
  EXPECT_EQ(cookie.CookieText(), "s=42; Version=\"1\"");
  cookie.Path = "/";
  cookie.MaxAge = 30;
  cookie.Secure = true;
  EXPECT_EQ(cookie.CookieText(), "s=42; Version=\"1\"; Path=/; Max-Age=30; Secure");
  cookie.Domain = "d.test";
  cookie.Comment = "c";
  cookie.MaxAge = 0;
  EXPECT_EQ(cookie.CookieText(),
            "s=42; Domain=d.test; Version=\"1\"; Path=/; Max-Age=0; Comment=c; Secure");
}

}  // namespace
}  // namespace orvelle::http
