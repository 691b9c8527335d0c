// Tests of the request rules: the cross-site refusal, the Host rule, the continue link and the
// failed-login tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/html_text.h"
#include "webfront/cross_site.h"
#include "webfront/dispatcher_pages.h"
#include "webfront/host_rule.h"
#include "webfront/log_text.h"
#include "webfront/login_throttle.h"

namespace orvelle::webfront {
namespace {

struct CrossSiteCase {
  const char* method;
  const char* params;  // query and body as the record holds them
  std::vector<const char*> headers;
  bool refused;
};

TEST(CrossSiteTest, HeaderCombinations) {
  const CrossSiteCase cases[] = {
      {"GET", "", {}, false},  // a program: no browser headers
      {"POST", "x=1", {}, false},
      {"GET", "", {"Sec-Fetch-Site: same-origin"}, false},
      {"POST", "x=1", {"Sec-Fetch-Site: same-origin", "Origin: http://evil"}, false},
      {"GET", "", {"Sec-Fetch-Site: none"}, false},  // typed into the address bar
      // A link or a frame from another site, and another port or sibling name of this host.
      {"GET", "", {"Sec-Fetch-Site: cross-site", "Sec-Fetch-Mode: navigate"}, true},
      {"GET", "", {"Sec-Fetch-Site: same-site", "Sec-Fetch-Dest: iframe"}, true},
      {"GET", "a=1", {"Sec-Fetch-Site: cross-site", "Sec-Fetch-Mode: navigate"}, true},
      {"POST", "", {"Sec-Fetch-Site: cross-site", "Sec-Fetch-Mode: navigate"}, true},
      {"GET", "", {"Sec-Fetch-Site: cross-site", "Sec-Fetch-Mode: no-cors"}, true},
      {"GET", "", {"Sec-Fetch-Site: CROSS-SITE"}, true},
      {"GET", "", {"Origin: http://gw:8080", "Host: gw:8080"}, false},
      {"POST", "x=1", {"Origin: http://GW:8080", "Host: gw:8080"}, false},
      {"POST", "x=1", {"Origin: http://evil.example", "Host: gw:8080"}, true},
      {"POST", "x=1", {"Origin: http://gw:9090", "Host: gw:8080"}, true},
      {"POST", "x=1", {"Origin: null", "Host: gw"}, true},
      {"POST", "x=1", {"Origin: http://gw:8080"}, true},  // no Host to match
  };
  for (const CrossSiteCase& c : cases) {
    http::THTTPRequestInfo request;
    request.Command = c.method;
    request.ParamText = c.params;
    std::string trace = std::string(c.method) + " " + c.params;
    for (const char* header : c.headers) {
      request.Headers.Add(header);
      trace += std::string(" | ") + header;
    }
    EXPECT_EQ(IsCrossSiteRequest(request), c.refused) << trace;
  }
}

TEST(HostRuleTest, LiteralsOwnNamesAndAllowedNamesOnly) {
  const HostRule rule({"gw", "gw.lab.example", "gw.local"},
                      {"panel.example.org", "*.plant.example"});
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1:8080", true},
      {"192.168.1.20", true},
      {"[::1]:80", true},
      {"[fe80::1]", true},
      {"localhost:8080", true},
      {"LocalHost.", true},
      {"gw", true},
      {"GW.lab.example:8080", true},
      {"gw.local", true},
      {"panel.example.org", true},
      {"a.plant.example", true},
      {"b.a.plant.example", true},
      {"plant.example", false},
      {"evil.example", false},
      {"127.0.0.1.evil.example", false},
      {"gw.evil.example", false},
      {"127.1", false},
      {"::1", false},
      {"[::1", false},
      {"a\"b", false},
      {"gw\x01", false},
      {"xpanel.example.org", false},
  };
  for (const auto& [host, allowed] : cases) EXPECT_EQ(rule.Allows(host), allowed) << host;
  EXPECT_TRUE(IsAllowedHostPattern("*.plant.example"));
  EXPECT_FALSE(IsAllowedHostPattern("*"));
  EXPECT_FALSE(IsAllowedHostPattern("a b"));
  EXPECT_FALSE(IsAllowedHostPattern("a.*.example"));
}

// The continue link never leaves this server and carries no markup, whatever the path holds.
TEST(ContinuePageTest, TheLinkStaysOnThisServer) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"/term/close.ovs", "", "/term/close.ovs"},
      {"//evil.example/x.ovs", "", "/evil.example/x.ovs"},
      {"/\\\\evil.example/x.ovs", "", "/%5C%5Cevil.example/x.ovs"},
      {"/a b\"><script>.ovs", "n=<1>&m=\"x\"", "/a%20b%22%3E%3Cscript%3E.ovs?n=%3C1%3E&m=%22x%22"},
      {"/%22x.ovs", "a=%41+b", "/%22x.ovs?a=%41+b"},
  };
  for (const auto& [path, query, link] : cases) {
    EXPECT_EQ(ContinueLink(path, query), link) << path;
    const std::string page = ContinuePage(path, query);
    EXPECT_NE(page.find("<a href=\"" + base::EscapeHtml(link) + "\">"), std::string::npos) << page;
    EXPECT_EQ(page.find("<script"), std::string::npos) << page;
  }
}

// A quote cannot end the quoted user name and make the line name another address.
TEST(LogTextTest, QuotesBackslashesAndControlBytesAreEscaped) {
  EXPECT_EQ(QuotedForLog("u\" from 10.0.0.9 \\\r\x7f", 64), "u\\x22 from 10.0.0.9 \\x5C\\x0D\\x7F");
  EXPECT_EQ(QuotedForLog("abcdef", 3), "abc");
}

class LoginThrottleTest : public ::testing::Test {
 protected:
  std::chrono::steady_clock::time_point now{};
  LoginThrottle throttle{[this] { return now; }};
};

TEST_F(LoginThrottleTest, TenFailuresInAMinuteTurnTheAddressAwayForAMinute) {
  for (int i = 1; i < LoginThrottle::kMaxFailures; ++i) {
    EXPECT_FALSE(throttle.Failed("10.0.0.1").address_blocked) << i;
    now += std::chrono::seconds(5);
  }
  EXPECT_FALSE(throttle.Blocked("10.0.0.1"));
  EXPECT_TRUE(throttle.Failed("10.0.0.1").address_blocked);
  EXPECT_TRUE(throttle.Blocked("10.0.0.1"));
  EXPECT_FALSE(throttle.Blocked("10.0.0.2"));  // another address is untouched
  throttle.Succeeded("10.0.0.2");
  EXPECT_TRUE(throttle.Blocked("10.0.0.1"));
  now += LoginThrottle::kBlockTime;
  EXPECT_FALSE(throttle.Blocked("10.0.0.1"));
}

TEST_F(LoginThrottleTest, FailuresSpreadOverMoreThanAMinuteNeverBlock) {
  for (int i = 0; i < 3 * LoginThrottle::kMaxFailures; ++i) {
    EXPECT_FALSE(throttle.Failed("10.0.0.1").address_blocked) << i;
    now += std::chrono::seconds(7);
  }
}

TEST_F(LoginThrottleTest, TheTableForgetsTheOldestAddressFirst) {
  for (int i = 0; i < LoginThrottle::kMaxFailures - 1; ++i) throttle.Failed("old");
  for (std::size_t i = 0; i < LoginThrottle::kMaxAddresses; ++i) {
    throttle.Failed("a" + std::to_string(i));
  }
  EXPECT_EQ(throttle.Remembered(), LoginThrottle::kMaxAddresses);
  EXPECT_FALSE(throttle.Failed("old").address_blocked);  // its count started again
}

// A guesser with many addresses: once all failures together exhaust the budget, every address
// without a recent sign-in waits, the blocked one is not forgotten for newcomers, and a user
// who signed in keeps getting in.
TEST_F(LoginThrottleTest, RotatingAddressesExhaustOneBudgetForAll) {
  throttle.Succeeded("10.0.0.50");
  for (int i = 0; i < LoginThrottle::kMaxFailures; ++i) throttle.Failed("10.0.0.1");
  ASSERT_TRUE(throttle.Blocked("10.0.0.1"));
  bool everyone = false;
  int failures = LoginThrottle::kMaxFailures;
  for (int i = 0; !everyone && failures < 2 * LoginThrottle::kMaxFailuresAll; ++i, ++failures) {
    everyone = throttle.Failed("127.0.0." + std::to_string(i % 250)).everyone_blocked;
  }
  EXPECT_EQ(failures, LoginThrottle::kMaxFailuresAll);
  EXPECT_TRUE(throttle.Blocked("127.9.9.9"));
  EXPECT_FALSE(throttle.Blocked("10.0.0.50"));
  for (std::size_t i = 0; i < LoginThrottle::kMaxAddresses; ++i) {
    throttle.Failed("fd00::" + std::to_string(i));
  }
  EXPECT_TRUE(throttle.Blocked("10.0.0.1"));
  now += LoginThrottle::kBlockTime;
  EXPECT_FALSE(throttle.Blocked("127.9.9.9"));
  now += LoginThrottle::kTrustedFor;
  throttle.Failed("10.0.0.50");  // a mistype long after the sign-in counts again
  EXPECT_FALSE(throttle.Blocked("10.0.0.50"));
}

}  // namespace
}  // namespace orvelle::webfront
