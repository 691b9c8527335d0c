// Tests of the dispatcher's fixed pages, credential comparison and setting numbers.
#include <gtest/gtest.h>

#include "webfront/credentials.h"
#include "webfront/dispatcher_pages.h"
#include "webfront/setting_numbers.h"

namespace orvelle::webfront {
namespace {

TEST(DispatcherPagesTest, BusyPageCarriesPathLoneCrAndPlainQuotes) {
  EXPECT_EQ(BusyPage("/h/web/a.ovs"),
            "<html><head><title>Error</title></head><body><h1>Access denied</h1>\rAnother script "
            "is running (/h/web/a.ovs).<br>You can <a href=\"./abort.ovs\">ABORT</a> it."
            "</body></html>");
}

TEST(DispatcherPagesTest, AbortedAndNotFoundPages) {
  EXPECT_EQ(AbortedPage("/p.ovs"),
            "<html><head><title>Script aborted</title></head><body><h1>Script aborted</h1>\rThe "
            "script was aborted (/p.ovs).<br>You can resume normal operation.</body></html>");
  EXPECT_EQ(FileNotFoundPage("Not Found"),
            "<html><head><title>Error</title></head><body><h1>Not Found</h1></body></html>");
}

TEST(DispatcherPagesTest, PathsAreWrittenAsHtmlText) {
  const std::string path = "/w/<img src=x onerror=\"a('&')\">.ovs";
  const std::string escaped = "/w/&lt;img src=x onerror=&quot;a&#40;&#39;&amp;&#39;&#41;&quot;&gt;.ovs";
  EXPECT_NE(BusyPage(path).find("running (" + escaped + ")."), std::string::npos);
  EXPECT_NE(AbortedPage(path).find("aborted (" + escaped + ")."), std::string::npos);
}

TEST(DispatcherPagesTest, EveryErrorPageHasExactlyOneLoneCr) {
  for (std::string_view page :
       {kAuthenticationPage, kAccessDeniedPage, kOneSessionPage, kNoScriptPage}) {
    EXPECT_EQ(std::count(page.begin(), page.end(), '\r'), 1) << page;
    EXPECT_EQ(page.find('\n'), std::string_view::npos) << page;
  }
}

struct EqualsCase {
  const char* given;
  const char* expected;
  bool equal;
};

class ConstantTimeEqualsTest : public ::testing::TestWithParam<EqualsCase> {};

TEST_P(ConstantTimeEqualsTest, MatchesPlainComparison) {
  const EqualsCase& c = GetParam();
  EXPECT_EQ(ConstantTimeEquals(c.given, c.expected), c.equal);
  EXPECT_EQ(std::string_view(c.given) == c.expected, c.equal);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ConstantTimeEqualsTest,
    ::testing::Values(EqualsCase{"", "", true}, EqualsCase{"kelp", "kelp", true},
                      EqualsCase{"Kelp", "kelp", false}, EqualsCase{"kel", "kelp", false},
                      EqualsCase{"kelpkelp", "kelp", false}, EqualsCase{"", "kelp", false},
                      EqualsCase{"kelp", "", false}, EqualsCase{"kelq", "kelp", false}));

TEST(CredentialsMatchTest, BothMustMatch) {
  EXPECT_TRUE(CredentialsMatch("user", "kelp", "user", "kelp"));
  EXPECT_TRUE(CredentialsMatch("user", "", "user", ""));
  EXPECT_FALSE(CredentialsMatch("user", "x", "user", "kelp"));
  EXPECT_FALSE(CredentialsMatch("User", "kelp", "user", "kelp"));
  EXPECT_FALSE(CredentialsMatch("", "", "user", "kelp"));
}

struct NumberCase {
  const char* text;
  std::optional<std::int32_t> value;
};

class ParseSettingIntegerTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ParseSettingIntegerTest, StrictDecimal) {
  EXPECT_EQ(ParseSettingInteger(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseSettingIntegerTest,
    ::testing::Values(NumberCase{"80", 80}, NumberCase{"0", 0}, NumberCase{"-5", -5},
                      NumberCase{"+7", 7}, NumberCase{"2147483647", 2147483647},
                      NumberCase{"2147483648", std::nullopt}, NumberCase{"", std::nullopt},
                      NumberCase{"abc", std::nullopt}, NumberCase{" 80", std::nullopt},
                      NumberCase{"80 ", std::nullopt}, NumberCase{"8o", std::nullopt},
                      NumberCase{"++1", std::nullopt}, NumberCase{"1.5", std::nullopt}));

}  // namespace
}  // namespace orvelle::webfront
