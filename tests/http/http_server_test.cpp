// The request cycle over real sockets: parsing into the records, the response's shape, failures.
#include "http/http_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <mutex>
#include <optional>
#include <sstream>

#include "http/connection.h"
#include "http/exceptions.h"
#include "test_client.h"

namespace orvelle::http {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using namespace orvelle::http::testing;

// Remembers the last request the handler saw; the handler runs on the connection thread.
class Recorder {
 public:
  void Keep(const THTTPRequestInfo& request) {
    std::lock_guard lock(mutex_);
    last_ = request;
    ++calls_;
  }
  std::optional<THTTPRequestInfo> Last() {
    std::lock_guard lock(mutex_);
    return last_;
  }
  int Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  std::optional<THTTPRequestInfo> last_;
  int calls_ = 0;
};

class HttpServerTest : public ::testing::Test {
 protected:
  void Start(THTTPServer::TCommandGetEvent respond = {}) {
    server_.OnCommandGet = [this, respond](TPeerThread& thread, THTTPRequestInfo& request,
                                           THTTPResponseInfo& response) {
      recorder_.Keep(request);
      if (respond) respond(thread, request, response);
    };
    port_ = StartOnLoopback(server_);
  }
  Response Get(std::string_view raw) {
    ReadResult result = Exchange(port_, raw);
    EXPECT_TRUE(result.eof) << "server did not close the connection";
    return SplitResponse(result.bytes);
  }

  THTTPServer server_;
  Recorder recorder_;
  int port_ = 0;
};

struct CycleCase {
  std::string raw;
  std::string command, document, version, param_text, host;
  std::vector<std::string> params;
};

TEST_F(HttpServerTest, RequestLineAndParametersFillTheRecord) {
  const std::vector<CycleCase> cases = {
      {"GET / HTTP/1.0\r\n\r\n", "GET", "/", "HTTP/1.0", "", "", {}},
      {"get /a/b.html?x=1&y=a+b%21 HTTP/1.1\r\n\r\n",
       "GET",
       "/a/b.html",
       "HTTP/1.1",
       "x=1&y=a+b%21",
       "",
       {"x=1", "y=a b!"}},
      {"GET page.html HTTP/1.1\r\n\r\n", "GET", "/page.html", "HTTP/1.1", "", "", {}},
      {"GET /dir\\sub\\f.txt HTTP/1.1\r\n\r\n", "GET", "/dir/sub/f.txt", "HTTP/1.1", "", "", {}},
      {"GET http://dev.test:81/x/y#top HTTP/1.1\r\n\r\n",
       "GET",
       "/x/y",
       "HTTP/1.1",
       "",
       "dev.test:81",
       {}},
      {"GET http://dev.test/x HTTP/1.1\r\nHost: named.test\r\n\r\n",
       "GET",
       "/x",
       "HTTP/1.1",
       "",
       "named.test",
       {}},
      {"GET /%41%2 HTTP/1.1\r\n\r\n", "GET", "/%41%2", "HTTP/1.1", "", "", {}},
      {"GET /?a=%00&b=%zz&& HTTP/1.1\r\n\r\n",
       "GET",
       "/",
       "HTTP/1.1",
       "a=%00&b=%zz&&",
       "",
       {"a=", "b=", "", ""}},
      {"POST /s.ovs?c=3 HTTP/1.1\r\nContent-Length: 7\r\n\r\na=1&b=2",
       "POST",
       "/s.ovs",
       "HTTP/1.1",
       "a=1&b=2&c=3",
       "",
       {"a=1", "b=2", "c=3"}},
      {"GET /g HTTP/1.1\r\n\r\nignored=1", "GET", "/g", "HTTP/1.1", "", "", {}},
      {"HEAD /h HTTP/1.1\r\ncontent-length: 3\r\n\r\nk=v",
       "HEAD",
       "/h",
       "HTTP/1.1",
       "k=v",
       "",
       {"k=v"}},
  };
  Start();
  for (const CycleCase& c : cases) {
    SCOPED_TRACE(c.raw);
    const Response response = Get(c.raw);
    EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK");
    const auto request = recorder_.Last();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->Command, c.command);
    EXPECT_EQ(request->Document, c.document);
    EXPECT_EQ(request->Version, c.version);
    EXPECT_EQ(request->ParamText, c.param_text);
    EXPECT_EQ(request->Host, c.host);
    EXPECT_EQ(request->Params, c.params);
    EXPECT_EQ(request->ClientIP, "127.0.0.1");
  }
}

TEST_F(HttpServerTest, PostWithoutLengthReadsUntilTheClientHalfCloses) {
  Start();
  const ReadResult result =
      Exchange(port_, "POST /p HTTP/1.1\r\nHost: x\r\n\r\nname=a+b&x=%41", /*half_close=*/true);
  EXPECT_EQ(SplitResponse(result.bytes).status_line, "HTTP/1.1 200 OK");
  const auto request = recorder_.Last();
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->ParamText, "name=a+b&x=%41");
  EXPECT_THAT(request->Params, ElementsAre("name=a b", "x=A"));
  EXPECT_THAT(request->Headers.Lines(), ElementsAre("Host: x", ""));
}

TEST_F(HttpServerTest, HeaderBlockHasItsFixedOrderAndTheConnectionCloses) {
  Start([](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
    TCookie& first = response.Cookies.Add();
    first.Name = "Orvelle";
    first.Value = "17";
    TCookie& second = response.Cookies.Add();
    second.Name = "s";
    second.Value = "42";
    second.Path = "/";
    second.MaxAge = 30;
    second.Secure = true;
    response.ContentText = "hello";
  });
  const ReadResult result = Exchange(port_, "GET / HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(result.eof);
  EXPECT_EQ(result.bytes,
            "HTTP/1.1 200 OK\r\n"
            "Set-Cookie: Orvelle=17; Version=\"1\"\r\n"
            "Set-Cookie: s=42; Version=\"1\"; Path=/; Max-Age=30; Secure\r\n"
            "Connection: close\r\n"
            "Server: Orvelle/2.0\r\n"
            "Content-Type: text/html\r\n"
            "Content-Length: 5\r\n"
            "\r\n"
            "hello");
}

// The server closes after one response, so every kind of answer must say so; otherwise an
// HTTP/1.1 client sends its next request into a socket that is closing.
TEST_F(HttpServerTest, EveryAnswerAnnouncesTheClose) {
  Start([](TPeerThread&, THTTPRequestInfo& request, THTTPResponseInfo& response) {
    if (request.Document == "/fail") throw std::runtime_error("boom");
    if (request.Document == "/early") response.SendHeader();
    response.ContentText = "body";
  });
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /early HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"HEAD / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /fail HTTP/1.1\r\n\r\n", "HTTP/1.1 500 Internal Server Error"},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n",
       "HTTP/1.1 413 Request Entity To Long"},
      {"GET / HTTP/1.1\r\nX: " + std::string(kMaxLineLength, 'v') + "\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
  };
  for (const auto& [raw, status] : cases) {
    SCOPED_TRACE(raw.substr(0, 40));
    const Response response = Get(raw);
    EXPECT_EQ(response.status_line, status);
    EXPECT_EQ(response.Header("Connection"), "close");
  }
}

TEST_F(HttpServerTest, ResponseWithoutBodyHasNoLengthLine) {
  Start();
  const Response response = Get("GET / HTTP/1.1\r\n\r\n");
  EXPECT_THAT(response.headers,
              ElementsAre("Connection: close", "Server: Orvelle/2.0", "Content-Type: text/html"));
  EXPECT_THAT(response.body, IsEmpty());
}

TEST_F(HttpServerTest, StreamBodyIsSentWithItsLength) {
  Start([](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.ContentStream = std::make_unique<std::istringstream>(std::string(100'000, 's'));
  });
  const Response response = Get("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(response.Header("Content-Length"), "100000");
  EXPECT_EQ(response.body, std::string(100'000, 's'));
}

TEST_F(HttpServerTest, HeadAnnouncesTheBodyWithoutSendingIt) {
  Start([](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.ContentText = "script output";
  });
  const Response response = Get("HEAD /page.ovs HTTP/1.1\r\n\r\n");
  EXPECT_EQ(response.Header("Content-Length"), "13");
  EXPECT_TRUE(response.has_header_end);
  EXPECT_THAT(response.body, IsEmpty());
}

// A small response leaves in one segment with the FIN: once any of it is readable, all of it
// and the end are, so a reader that takes what is there without waiting reaches the end.
TEST_F(HttpServerTest, SmallResponsesArriveTogetherWithTheirEnd) {
  Start([](TPeerThread&, THTTPRequestInfo& request, THTTPResponseInfo& response) {
    if (request.Document == "/fail") throw std::runtime_error("broken");
    if (request.Document != "/empty") response.ContentText = std::string(3000, 'b');
  });
  const std::string too_long = "GET / HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n";
  for (const std::string& raw :
       {std::string("GET / HTTP/1.1\r\n\r\n"), std::string("HEAD / HTTP/1.1\r\n\r\n"),
        std::string("GET /empty HTTP/1.1\r\n\r\n"), std::string("GET /fail HTTP/1.1\r\n\r\n"),
        too_long}) {
    SCOPED_TRACE(raw.substr(0, 20));
    base::UniqueFd fd = Connect(port_);
    ASSERT_TRUE(fd.Valid());
    ASSERT_TRUE(SendAll(fd.Get(), raw));
    pollfd ready{fd.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, kClientTimeoutSeconds * 1000), 1);
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(n, 0) << "the end came after the response (errno " << errno << ")";
    EXPECT_THAT(bytes, ::testing::StartsWith("HTTP/1.1 "));
  }
}

TEST_F(HttpServerTest, RealmTurnsAnyStatusInto401WithAChallenge) {
  Start([](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.StatusCode(404);
    response.Realm = "Orvelle server";
    response.ContentText = "no";
  });
  const Response response = Get("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(response.status_line, "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(response.Header("WWW-Authenticate"), "Basic realm=\"Orvelle server\"");
}

TEST_F(HttpServerTest, HandlerExceptionBecomes500WithTheMessageAsBody) {
  Start([](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.Realm = "r";  // a failure must not be dressed up as a login prompt
    response.ContentLength = 99;
    throw std::runtime_error("boom");
  });
  const Response response = Get("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(response.status_line, "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(response.Header("Content-Length"), "4");
  EXPECT_EQ(response.Header("Content-Type"), "text/plain");
  EXPECT_EQ(response.body, "boom");
}

TEST_F(HttpServerTest, ExceptionAfterTheHeaderAppendsNothing) {
  Start([](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.ContentLength = 3;
    response.SendHeader();
    response.Connection().Write("abc");
    throw std::runtime_error("late failure");
  });
  const Response response = Get("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(response.body, "abc");
}

TEST_F(HttpServerTest, SecondSendHeaderRaisesAndServerAddsNothing) {
  std::mutex mutex;
  std::string second_error;
  Start([&](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.SendHeader();
    try {
      response.SendHeader();
    } catch (const EHTTPHeaderAlreadyWritten& e) {
      std::lock_guard lock(mutex);
      second_error = e.what();
    }
    response.Connection().Write("raw");
  });
  const Response response = Get("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(response.body, "raw");
  std::lock_guard lock(mutex);
  EXPECT_EQ(second_error, "Header has already been written.");
}

TEST_F(HttpServerTest, OtherMethodsGoToOnCommandOtherAndGetNoBytes) {
  std::mutex mutex;
  std::vector<std::string> seen;
  server_.OnCommandOther = [&](TPeerThread&, const std::string& command, const std::string& data,
                               const std::string& version) {
    std::lock_guard lock(mutex);
    seen = {command, data, version};
  };
  Start();
  const ReadResult result = Exchange(port_, "put /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
  EXPECT_TRUE(result.eof);
  EXPECT_THAT(result.bytes, IsEmpty());
  EXPECT_EQ(recorder_.Calls(), 0);
  std::lock_guard lock(mutex);
  EXPECT_THAT(seen, ElementsAre("PUT", "/x", "HTTP/1.1"));
}

TEST_F(HttpServerTest, RequestsThatEndWithoutAnyResponse) {
  const std::vector<std::string> silent = {
      "GETNOTHING\r\n\r\n",                                  // no blank
      "GET / HTTP/1.1\r\nHost: cut",                         // closed mid-header
      "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nshort",  // closed mid-body
  };
  Start();
  for (const std::string& raw : silent) {
    SCOPED_TRACE(raw);
    const ReadResult result = Exchange(port_, raw, /*half_close=*/true);
    EXPECT_TRUE(result.eof);
    EXPECT_THAT(result.bytes, IsEmpty());
  }
  EXPECT_EQ(recorder_.Calls(), 0);
}

TEST_F(HttpServerTest, OtherAuthorizationSchemesReachTheHandlerWithoutCredentials) {
  Start();
  for (const char* value : {"Digest x", "Bearer abc", "\x01garbage", "Basic"}) {
    SCOPED_TRACE(value);
    const int calls = recorder_.Calls();
    const ReadResult result =
        Exchange(port_, std::string("GET / HTTP/1.1\r\nAuthorization: ") + value + "\r\n\r\n");
    EXPECT_THAT(result.bytes, StartsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(recorder_.Calls(), calls + 1);
  }
}

TEST_F(HttpServerTest, BasicCredentialsAnyCaseAndWithoutColon) {
  struct AuthCase {
    std::string header, user, password;
  };
  const std::vector<AuthCase> cases = {
      {"Authorization: basic dXNlcjpwYTpzcw==", "user", "pa:ss"},  // user:pa:ss
      {"Authorization: BASIC dXNlcg==", "user", ""},               // user
      {"Authorization: Basic Om5vdXNlcg==", "", "nouser"},         // :nouser
  };
  Start();
  for (const AuthCase& c : cases) {
    SCOPED_TRACE(c.header);
    Get("GET / HTTP/1.1\r\n" + c.header + "\r\n\r\n");
    const auto request = recorder_.Last();
    ASSERT_TRUE(request.has_value());
    EXPECT_TRUE(request->HasAuth);
    EXPECT_EQ(request->AuthUser, c.user);
    EXPECT_EQ(request->AuthPassword, c.password);
  }
  Get("GET / HTTP/1.1\r\n\r\n");
  EXPECT_FALSE(recorder_.Last()->HasAuth);
}

TEST_F(HttpServerTest, CookiesOfEveryCookieLineInOrder) {
  Start();
  Get("GET / HTTP/1.1\r\nCookie: a=1; $Path=/p\r\nX: y\r\ncookie: b=\"x;y\"\r\n\r\n");
  const auto request = recorder_.Last();
  ASSERT_TRUE(request.has_value());
  ASSERT_EQ(request->Cookies.Count(), 2u);
  EXPECT_EQ(request->Cookies[0].Name, "a");
  EXPECT_EQ(request->Cookies[0].Path, "/p");
  EXPECT_EQ(request->Cookies[1].Value, "x;y");
  EXPECT_EQ(request->Cookies.FindCookie(0, "B"), 1);
}

TEST_F(HttpServerTest, LineBreaksInHeaderValuesCannotStartNewLines) {
  Start([](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.ContentType = "text/html\r\nX-Injected: 1";
    TCookie& cookie = response.Cookies.Add();
    cookie.Name = "c";
    cookie.Value = "v\r\nX-Other: 2";
  });
  const Response response = Get("GET / HTTP/1.1\r\n\r\n");
  for (const std::string& line : response.headers) {
    EXPECT_NE(line.rfind("X-", 0), 0u) << line;
  }
  EXPECT_EQ(response.Header("Content-Type"), "text/htmlX-Injected: 1");
}

TEST_F(HttpServerTest, BindingAPortInUseFailsAndLeavesTheServerInactive) {
  Start();
  THTTPServer second;
  second.Bindings().Clear();
  TSocketHandle& binding = second.Bindings().Add();
  binding.IP = "127.0.0.1";
  binding.Port = port_;
  EXPECT_THROW(second.Active(true), ECouldNotBindSocket);
  EXPECT_FALSE(second.Active());
  try {
    second.Active(true);
  } catch (const EServerException& e) {
    EXPECT_STREQ(e.ClassName(), "ECouldNotBindSocket");
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_EQ(Get("GET / HTTP/1.1\r\n\r\n").status_line, "HTTP/1.1 200 OK");
}

TEST_F(HttpServerTest, PeerAddressReachesTheHandlerThroughTheThread) {
  std::mutex mutex;
  std::string peer_ip;
  int peer_port = 0;
  Start([&](TPeerThread& thread, THTTPRequestInfo&, THTTPResponseInfo&) {
    std::lock_guard lock(mutex);
    peer_ip = thread.Connection().Binding().PeerIP;
    peer_port = thread.Connection().Binding().PeerPort;
  });
  base::UniqueFd client = Connect(port_);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(client.Get(), reinterpret_cast<sockaddr*>(&local), &length);
  SendAll(client.Get(), "GET / HTTP/1.1\r\n\r\n");
  ReadAll(client.Get());
  std::lock_guard lock(mutex);
  EXPECT_EQ(peer_ip, "127.0.0.1");
  EXPECT_EQ(peer_port, ntohs(local.sin_port));
}

}  // namespace
}  // namespace orvelle::http
