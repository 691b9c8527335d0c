// Tests of the cross-site refusal rule and the failed-login table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "webfront/cross_site.h"
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
      {"GET", "", {"Sec-Fetch-Site: cross-site", "Sec-Fetch-Mode: navigate"}, false},
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

class LoginThrottleTest : public ::testing::Test {
 protected:
  std::chrono::steady_clock::time_point now{};
  LoginThrottle throttle{[this] { return now; }};
};

TEST_F(LoginThrottleTest, TenFailuresInAMinuteTurnTheAddressAwayForAMinute) {
  for (int i = 1; i < LoginThrottle::kMaxFailures; ++i) {
    EXPECT_FALSE(throttle.Failed("10.0.0.1")) << i;
    now += std::chrono::seconds(5);
  }
  EXPECT_FALSE(throttle.Blocked("10.0.0.1"));
  EXPECT_TRUE(throttle.Failed("10.0.0.1"));
  EXPECT_TRUE(throttle.Blocked("10.0.0.1"));
  EXPECT_FALSE(throttle.Blocked("10.0.0.2"));  // another address is untouched
  throttle.Succeeded("10.0.0.2");
  EXPECT_TRUE(throttle.Blocked("10.0.0.1"));
  now += LoginThrottle::kBlockTime;
  EXPECT_FALSE(throttle.Blocked("10.0.0.1"));
}

TEST_F(LoginThrottleTest, FailuresSpreadOverMoreThanAMinuteNeverBlock) {
  for (int i = 0; i < 3 * LoginThrottle::kMaxFailures; ++i) {
    EXPECT_FALSE(throttle.Failed("10.0.0.1")) << i;
    now += std::chrono::seconds(7);
  }
}

TEST_F(LoginThrottleTest, TheTableForgetsTheOldestAddressFirst) {
  for (int i = 0; i < LoginThrottle::kMaxFailures - 1; ++i) throttle.Failed("old");
  for (std::size_t i = 0; i < LoginThrottle::kMaxAddresses; ++i) {
    throttle.Failed("a" + std::to_string(i));
  }
  EXPECT_EQ(throttle.Remembered(), LoginThrottle::kMaxAddresses);
  EXPECT_FALSE(throttle.Failed("old"));  // its count started again
}

}  // namespace
}  // namespace orvelle::webfront
