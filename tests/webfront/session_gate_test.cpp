// Tests of the one-browser session rule with a fake timer and a recording context.
#include "webfront/session_gate.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace orvelle::webfront {
namespace {

class RecordingContext final : public DispatcherContext {
 public:
  std::map<std::string, std::string> settings;
  std::vector<std::string> log;
  std::string GetSetting(std::string_view key) override { return settings[std::string(key)]; }
  void AddLog(std::string_view message) override { log.emplace_back(message); }
};

class FakeTimer final : public SessionTimer {
 public:
  bool enabled = false;
  std::chrono::milliseconds interval{-1};
  int restarts = 0;
  bool restarted_since_fire = false;
  bool Enabled() const override { return enabled; }
  void Start(std::chrono::milliseconds value) override {
    enabled = true;
    interval = value;
  }
  void Restart() override {
    ++restarts;
    restarted_since_fire = true;
  }
  void Stop() override { enabled = false; }
  bool StopUnlessRestarted() override {
    if (!enabled || restarted_since_fire) return false;
    enabled = false;
    return true;
  }
};

http::TCookieCollection Cookies(std::initializer_list<std::pair<const char*, const char*>> list) {
  http::TCookieCollection cookies;
  for (const auto& [name, value] : list) {
    http::TCookie& cookie = cookies.Add();
    cookie.Name = name;
    cookie.Value = value;
  }
  return cookies;
}

class SessionGateTest : public ::testing::Test {
 protected:
  RecordingContext context;
  FakeTimer timer;
  int drawn = 0;
  SessionGate gate{context, timer, std::chrono::milliseconds(1000),
                   [this] { return "token" + std::to_string(++drawn); }};

  void SetUp() override {
    context.settings["Session expire"] = "2";
    gate.NewCounter(41);
  }
};

TEST_F(SessionGateTest, FirstRequestStartsSessionWithCookie) {
  http::TCookieCollection out;
  EXPECT_TRUE(gate.Admit(Cookies({{"Orvelle", "999"}}), out));
  ASSERT_EQ(out.Count(), 1u);
  EXPECT_EQ(out[0].Name, "Orvelle");
  EXPECT_EQ(out[0].Value, "token1");
  EXPECT_EQ(out[0].Path, "");
  EXPECT_EQ(out[0].CookieText(), "Orvelle=token1; Version=\"1\"; HttpOnly; SameSite=Strict");
  EXPECT_TRUE(timer.enabled);
  EXPECT_EQ(timer.interval, std::chrono::milliseconds(2000));
  EXPECT_EQ(context.log, std::vector<std::string>{"User session started."});
}

TEST_F(SessionGateTest, LiveSessionAdmitsOnlyTheMatchingLastCookie) {
  http::TCookieCollection out;
  ASSERT_TRUE(gate.Admit({}, out));
  struct Case {
    http::TCookieCollection cookies;
    bool admitted;
  };
  std::vector<Case> cases;
  cases.push_back({Cookies({}), false});
  cases.push_back({Cookies({{"Orvelle", "41"}}), false});  // the counter is not the cookie
  cases.push_back({Cookies({{"Orvelle", "token"}}), false});
  cases.push_back({Cookies({{"Orvelle", "token10"}}), false});
  cases.push_back({Cookies({{"Orvelle", ""}}), false});
  cases.push_back({Cookies({{"Orvelle", "token1"}}), true});
  cases.push_back({Cookies({{"orvelle", "token1"}}), true});
  cases.push_back({Cookies({{"Orvelle", "token1"}, {"Orvelle", "7"}}), false});
  cases.push_back({Cookies({{"Orvelle", "7"}, {"ORVELLE", "token1"}}), true});
  cases.push_back({Cookies({{"Other", "token1"}}), false});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    http::TCookieCollection response;
    const int restarts = timer.restarts;
    EXPECT_EQ(gate.Admit(cases[i].cookies, response), cases[i].admitted) << "case " << i;
    EXPECT_EQ(response.Count(), 0u) << "case " << i;
    EXPECT_EQ(timer.restarts - restarts, cases[i].admitted ? 1 : 0) << "case " << i;
  }
}

TEST_F(SessionGateTest, ExpiryMovesCounterAndNextSessionGetsIt) {
  http::TCookieCollection first;
  ASSERT_TRUE(gate.Admit({}, first));
  gate.Expire();
  EXPECT_FALSE(timer.enabled);
  EXPECT_EQ(gate.SessionCounter(), 42);
  EXPECT_EQ(context.log.back(), "User session expired");
  http::TCookieCollection second;
  EXPECT_TRUE(gate.Admit(Cookies({{"Orvelle", "token1"}}), second));
  ASSERT_EQ(second.Count(), 1u);
  EXPECT_EQ(second[0].Value, "token2");
  http::TCookieCollection none;
  EXPECT_FALSE(gate.Admit(Cookies({{"Orvelle", "token1"}}), none));
}

// A request another site's page made never starts a session; a stream knows when the session
// it was opened under has ended.
TEST_F(SessionGateTest, CrossSiteStartsNoSessionAndEndedSessionsAreNotCurrent) {
  http::TCookieCollection out;
  std::uint64_t session = 0;
  EXPECT_FALSE(gate.Admit({}, out, false, &session));
  EXPECT_FALSE(timer.enabled);
  EXPECT_EQ(out.Count(), 0u);
  ASSERT_TRUE(gate.Admit({}, out, true, &session));
  EXPECT_TRUE(gate.IsCurrent(session));
  std::uint64_t same = 0;
  http::TCookieCollection none;
  EXPECT_TRUE(gate.Admit(Cookies({{"Orvelle", "token1"}}), none, false, &same));
  EXPECT_EQ(same, session);
  timer.restarted_since_fire = false;  // the timer fires with no request since
  gate.Expire();
  EXPECT_FALSE(gate.IsCurrent(session));
  ASSERT_TRUE(gate.Admit({}, out, true, &same));
  EXPECT_FALSE(gate.IsCurrent(session));
  EXPECT_TRUE(gate.IsCurrent(same));
  gate.Close();
  EXPECT_FALSE(gate.IsCurrent(same));
}

TEST_F(SessionGateTest, ExpiryIgnoredWhenRestartedAfterFiring) {
  http::TCookieCollection out;
  ASSERT_TRUE(gate.Admit({}, out));
  timer.restarted_since_fire = true;
  gate.Expire();
  EXPECT_TRUE(timer.enabled);
  EXPECT_EQ(gate.SessionCounter(), 41);
}

TEST_F(SessionGateTest, CloseEndsSessionButKeepsCounter) {
  http::TCookieCollection out;
  ASSERT_TRUE(gate.Admit({}, out));
  gate.Close();
  EXPECT_FALSE(timer.enabled);
  EXPECT_EQ(gate.SessionCounter(), 41);
}

struct ExpireCase {
  const char* value;
  std::int64_t interval_ms;
  bool warned;
};

class SessionExpireValueTest : public ::testing::TestWithParam<ExpireCase> {};

TEST_P(SessionExpireValueTest, IntervalFromSetting) {
  RecordingContext context;
  FakeTimer timer;
  SessionGate gate(context, timer, std::chrono::milliseconds(1000));
  context.settings["Session expire"] = GetParam().value;
  http::TCookieCollection out;
  ASSERT_TRUE(gate.Admit({}, out));
  EXPECT_EQ(timer.interval.count(), GetParam().interval_ms);
  const std::vector<std::string> warned{"Session expire value is incorrect. Using 1 minute.",
                                        "User session started."};
  const std::vector<std::string> plain{"User session started."};
  EXPECT_EQ(context.log, GetParam().warned ? warned : plain);
}

INSTANTIATE_TEST_SUITE_P(Values, SessionExpireValueTest,
                         ::testing::Values(ExpireCase{"1", 1000, false}, ExpireCase{"0", 0, false},
                                           ExpireCase{"30", 30000, false},
                                           ExpireCase{"", 1000, true},
                                           ExpireCase{"abc", 1000, true},
                                           ExpireCase{"-3", 1000, true},
                                           ExpireCase{"2147483647", 2147483647000, false}));

}  // namespace
}  // namespace orvelle::webfront
