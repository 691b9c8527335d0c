// The real server on script pages: parameters from GET and POST, HEAD, "Script not found",
// containment, the busy page, aborting with partial output, the no-script page, the session
// rule with expiry, a burst of requests, and a clean close under load.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <regex>
#include <thread>

#include "http/test_client.h"
#include "server_process.h"

namespace orvelle::e2e {
namespace {

using http::testing::Exchange;
using http::testing::SplitResponse;

// Shows its variables; the HTML's quotes come from the variable q.
constexpr const char* kShowPage =
    "<p class=\"x\">\n<% echo (\"a=\" & a & \" b=\" & b & \" ip=\" & peerIP) %>\n";
// Writes a line, then loops until aborted.
constexpr const char* kLongPage =
    "<%\necho (\"started\")\nfor (i, 1, 2000000000, 1)\nnext\necho (\"finished\")\n%>\n";
constexpr const char* kNoScript =
    "<html><head><title>No script running</title></head><body><h1>No script running</h1>\rThere "
    "are not running scripts.<br>You can resume normal operation.</body></html>";
// Bounded polling: a state the test waits for must come within this many tries.
constexpr int kPollTries = 1500;
// Starts of the long page before a test gives up.
constexpr int kStartAttempts = 5;

http::testing::Response Request(int port, const std::string& line, const std::string& extra = "") {
  return SplitResponse(Exchange(port, line + "\r\nHost: localhost\r\n" + extra + "\r\n").bytes);
}

// The running page is named by its request path, never by where it lies on the server's disk.
std::string BusyPage(const std::string& path) {
  return "<html><head><title>Error</title></head><body><h1>Access denied</h1>\rAnother script is "
         "running (" +
         path + ").<br>You can <a href=\"./abort.ovs\">ABORT</a> it.</body></html>";
}

class ScriptPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.Config("Server port=80\r\n");
    home.Page("show.ovs", kShowPage);
    home.Page("long.ovs", kLongPage);
    home.Page("bad.ovs", "<% if (1==1) %>\n");
    home.Page("a.txt", "static");
    WriteText(home.Path() / "outside.ovs", "<% echo (\"outside\") %>\n");
    server.emplace(home);
    ASSERT_GT(server->Port(), 0) << server->Stdout();
  }

  // Starts the long page on its own thread and returns once it holds the script slot. A probe
  // may hold the slot for a moment itself, so a long request turned away as busy is retried.
  std::jthread StartLong(std::string& body) {
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
      auto finished = std::make_shared<std::atomic<bool>>(false);
      std::jthread runner([this, &body, finished] {
        body = Curl({server->Url("/long.ovs")});
        *finished = true;
      });
      for (int i = 0; i < kPollTries && !*finished; ++i) {
        if (Request(server->Port(), "GET /probe.ovs HTTP/1.1").body == BusyPage("/long.ovs"))
          return runner;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    ADD_FAILURE() << "the long page never held the script slot";
    return {};
  }

  TempHome home;
  std::optional<ServerProcess> server;
};

TEST_F(ScriptPagesTest, ParametersFromQueryAndForm) {
  struct Case {
    std::vector<std::string> args;
    const char* body;
  };
  const Case cases[] = {
      {{"/show.ovs?a=1&b=two"}, "<p class=\"x\">\r\n\r\na=1 b=two ip=127.0.0.1\r\n\r\n"},
      {{"/show.ovs?a=1&a=2"}, "<p class=\"x\">\r\n\r\na=2 b= ip=127.0.0.1\r\n\r\n"},
      // The server's own variables cannot be replaced by parameters of the same name.
      {{"/show.ovs?q=Q&Q=Q&po=x&pc=x&peerIP=10.0.0.9&PEERIP=1&peerPort=1"},
       "<p class=\"x\">\r\n\r\na= b= ip=127.0.0.1\r\n\r\n"},
      {{"-d", "a=posted&b=3", "/show.ovs"},
       "<p class=\"x\">\r\n\r\na=posted b=3 ip=127.0.0.1\r\n\r\n"},
      // A script request, but file names keep their case.
      {{"/show.OVS"}, "<H1><center>Script not found</center></H1>"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.back() = server->Url(args.back());
    EXPECT_EQ(Curl(args), c.body) << c.args.back();
  }
}

TEST_F(ScriptPagesTest, NotFoundBlockErrorContainmentAndHead) {
  auto missing = Request(server->Port(), "GET /nothing.ovs HTTP/1.1");
  EXPECT_EQ(missing.status_line, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(missing.body, "<H1><center>Script not found</center></H1>");
  auto outside = Request(server->Port(), "GET /../outside.ovs HTTP/1.1");
  EXPECT_EQ(outside.status_line, "HTTP/1.1 403 Forbidden");
  auto bad = Request(server->Port(), "GET /bad.ovs HTTP/1.1");
  EXPECT_EQ(bad.status_line, "HTTP/1.1 200 OK");
  // The block-check text and CR LF, nothing run.
  EXPECT_NE(bad.body.find("Error"), std::string::npos) << bad.body;
  EXPECT_EQ(bad.body.rfind("\r\n"), bad.body.size() - 2) << bad.body;
  const auto get = Request(server->Port(), "GET /show.ovs?a=1 HTTP/1.1");
  const auto raw_head = Exchange(server->Port(), "HEAD /show.ovs?a=1 HTTP/1.1\r\n\r\n");
  const auto head = SplitResponse(raw_head.bytes);
  EXPECT_EQ(head.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(head.Header("Content-Length"), std::to_string(get.body.size()));
  EXPECT_EQ(head.body, "");
  EXPECT_TRUE(raw_head.eof);
}

TEST_F(ScriptPagesTest, BusyAbortPartialOutputAndNoScript) {
  EXPECT_EQ(Request(server->Port(), "GET /abort.ovs HTTP/1.1").body, kNoScript);
  std::string long_body;
  std::jthread runner = StartLong(long_body);
  const auto busy = Request(server->Port(), "GET /show.ovs HTTP/1.1");
  ASSERT_EQ(busy.body, BusyPage("/long.ovs"));
  EXPECT_EQ(Request(server->Port(), "GET /a.txt HTTP/1.1").body, "static");
  const auto aborted = Request(server->Port(), "GET /sub/ABORT.ovs HTTP/1.1");
  EXPECT_EQ(aborted.body,
            "<html><head><title>Script aborted</title></head><body><h1>Script aborted</h1>\rThe "
            "script was aborted (/long.ovs).<br>You can resume normal operation.</body></html>");
  runner.join();
  EXPECT_EQ(long_body, "started\r\n");
  EXPECT_EQ(Request(server->Port(), "GET /abort.ovs HTTP/1.1").body, kNoScript);
  EXPECT_EQ(Curl({server->Url("/show.ovs?a=9")}),
            "<p class=\"x\">\r\n\r\na=9 b= ip=127.0.0.1\r\n\r\n");
}

TEST_F(ScriptPagesTest, BurstWhileScriptRunsThenStaticLoad) {
  std::string long_body;
  std::jthread runner = StartLong(long_body);
  constexpr int kScriptRequests = 200;
  std::atomic<int> busy{0};
  {
    std::vector<std::jthread> clients;
    for (int i = 0; i < kScriptRequests; ++i) {
      clients.emplace_back([&] {
        if (Request(server->Port(), "GET /show.ovs HTTP/1.1").body == BusyPage("/long.ovs")) ++busy;
      });
    }
  }
  EXPECT_EQ(busy.load(), kScriptRequests);
  Request(server->Port(), "GET /abort.ovs HTTP/1.1");
  runner.join();
  EXPECT_EQ(long_body, "started\r\n");

  constexpr int kThreads = 32;
  constexpr int kPerThread = 2000 / kThreads + 1;
  std::atomic<int> ok{0};
  {
    std::vector<std::jthread> clients;
    for (int t = 0; t < kThreads; ++t) {
      clients.emplace_back([&] {
        for (int i = 0; i < kPerThread; ++i) {
          const auto r = Request(server->Port(), "GET /a.txt HTTP/1.1");
          if (r.status_line == "HTTP/1.1 200 OK" && r.body == "static") ++ok;
        }
      });
    }
  }
  EXPECT_EQ(ok.load(), kThreads * kPerThread);
}

TEST_F(ScriptPagesTest, SigtermUnderLoadClosesCleanly) {
  std::string long_body;
  std::jthread runner = StartLong(long_body);
  std::vector<base::UniqueFd> idle;
  for (int i = 0; i < 20; ++i) {
    idle.push_back(http::testing::Connect(server->Port()));
    http::testing::SendAll(idle.back().Get(), "GET /a.txt HTTP/1.1\r\n");  // never finished
  }
  std::atomic<bool> stop{false};
  std::jthread loader([&] {
    for (int i = 0; i < 100000 && !stop; ++i) Request(server->Port(), "GET /a.txt HTTP/1.1");
  });
  // The close is promised within six seconds of the signal.
  EXPECT_EQ(server->Terminate(std::chrono::seconds(6)), std::optional<int>(0));
  stop = true;
  loader.join();
  runner.join();
  // Closing cuts open connections, so the aborted page may or may not reach its client.
  EXPECT_NE(server->Stdout().find("Stop listening, com port closed.\n"), std::string::npos);
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.Config("Use session=yes\r\nSession expire=1\r\n");
    home.Page("a.txt", "static");
    // One "minute" of session idle time lasts 300 ms here.
    server.emplace(home, 0, std::vector<std::string>{"--session-minute-ms", "300"});
    ASSERT_GT(server->Port(), 0) << server->Stdout();
  }
  TempHome home;
  std::optional<ServerProcess> server;
};

// The session cookie's value, or "" when the header is not the session cookie.
std::string CookieValue(const http::testing::Response& response) {
  const std::string header = response.Header("Set-Cookie");
  if (header.rfind("Orvelle=", 0) != 0) return "";
  return header.substr(8, header.find(';') - 8);
}

TEST_F(SessionTest, OneBrowserUntilExpiryThenAFreshUnguessableToken) {
  const auto first = Request(server->Port(), "GET /a.txt HTTP/1.1");
  const std::string token = CookieValue(first);
  ASSERT_EQ(token.size(), 32u) << first.Header("Set-Cookie");
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(first.Header("Set-Cookie").find("; HttpOnly; SameSite=Strict"), std::string::npos);
  EXPECT_EQ(first.body, "static");
  const std::string cookie = "Cookie: Orvelle=" + token + "\r\n";
  const auto again = Request(server->Port(), "GET /a.txt HTTP/1.1", cookie);
  EXPECT_EQ(again.body, "static");
  EXPECT_EQ(again.Header("Set-Cookie"), "<none>");
  const auto other = Request(server->Port(), "GET /a.txt HTTP/1.1", "Cookie: Orvelle=x\r\n");
  EXPECT_EQ(other.body,
            "<html><head><title>Error</title></head><body><h1>Access denied</h1>\rOnly one "
            "session allowed. Please come back later.</body></html>");
  ASSERT_TRUE(server->WaitForLog("User session expired\n")) << server->Stdout();
  const auto next = Request(server->Port(), "GET /a.txt HTTP/1.1", cookie);
  const std::string next_token = CookieValue(next);
  EXPECT_EQ(next_token.size(), 32u);
  EXPECT_NE(next_token, token);
  const std::string out = server->Stdout();
  EXPECT_NE(out.find(" User session started.\n"), std::string::npos);
}

}  // namespace
}  // namespace orvelle::e2e
