// The server behind TLS: the same bytes as over plain HTTP for every kind of answer, a large
// file, hostile handshakes without leaks, the fuzz corpus behind a session, and the redirect.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "http/exceptions.h"
#include "http/http_server.h"
#include "http/https_redirect.h"
#include "process_counts.h"
#include "tls_client.h"

namespace orvelle::http {
namespace {

using namespace orvelle::http::testing;

// Small enough that a test body passes it, so 413 is in the table.
constexpr std::int64_t kTestMaxBody = 4096;

TServerLimits ShortLimits(std::chrono::milliseconds head) {
  TServerLimits limits;
  limits.Request.MaxBodySize = kTestMaxBody;
  limits.Timeouts.Head = head;
  limits.Timeouts.Linger = std::chrono::milliseconds(100);
  return limits;
}

// Answers by path, covering each way a response is written.
void Respond(const TempDir& files, THTTPRequestInfo& request, THTTPResponseInfo& response,
             THTTPServer& server, TPeerThread& thread) {
  const std::string& path = request.Document;
  if (path == "/text") {
    response.ContentText = "text for " + request.Command;
  } else if (path == "/small" || path == "/big") {
    server.SendFile(thread, response, (files.Path() / path.substr(1)).string());
  } else if (path == "/stream") {
    response.ContentStream = std::make_unique<std::istringstream>(std::string(50000, 's'));
  } else if (path == "/fail") {
    throw std::runtime_error("handler failed <b>");
  } else if (path == "/auth") {
    response.Realm = "area";
    response.ContentText = "denied";
  } else if (path == "/cookie") {
    TCookie& cookie = response.Cookies.Add();
    cookie.Name = "sid";
    cookie.Value = "v";
    response.ContentText = "with cookie";
  } else if (path == "/echo") {
    response.ContentText = request.ParamText + "|" + request.AuthUser;
  }
}

class TlsServerTest : public ::testing::Test {
 protected:
  void Start(std::chrono::milliseconds head = kHeadTimeout) {
    server_.emplace(ShortLimits(head));
    files_.Write("small", std::string(3000, 'a'));
    std::string big(100000, '\0');
    std::mt19937 random(7);
    for (char& c : big) c = static_cast<char>(random());
    files_.Write("big", big);
    server_->OnCommandGet = [this](TPeerThread& thread, THTTPRequestInfo& request,
                                   THTTPResponseInfo& response) {
      Respond(files_, request, response, *server_, thread);
    };
    ports_ = StartPlainAndTls(*server_, TestCertificate(certs_));
  }
  TlsResult OverTls(std::string_view request) {
    return TlsExchange(client_.get(), ports_.tls, request);
  }

  TempDir certs_;
  TempDir files_;
  ClientContext client_ = NewClientContext();
  std::optional<THTTPServer> server_;
  DualPorts ports_;
};

TEST_F(TlsServerTest, EveryKindOfRequestGetsTheSameBytesOverTls) {
  Start();
  struct Case {
    std::string request;
    std::string status;  // the start of the plain answer; empty: no bytes at all
  };
  const std::string body(100, 'b');
  const Case cases[] = {
      {"GET /text HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK"},
      {"HEAD /text HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /small HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"HEAD /small HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /big HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /stream HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /fail HTTP/1.1\r\n\r\n", "HTTP/1.1 500"},
      {"GET /auth HTTP/1.1\r\n\r\n", "HTTP/1.1 401"},
      {"GET /cookie HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /echo?a=1 HTTP/1.1\r\nAuthorization: Basic dXNlcjpwdw==\r\n\r\n", "HTTP/1.1 200 OK"},
      {"POST /echo HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
       "Content-Length: 100\r\n\r\n" +
           body,
       "HTTP/1.1 200 OK"},
      {"POST /echo HTTP/1.1\r\nContent-Length: 5000\r\n\r\n", "HTTP/1.1 413"},
      {"GET /text HTTP/1.1\r\nX: " + std::string(kMaxLineLength, 'x') + "\r\n\r\n", "HTTP/1.1 400"},
      {"GET /missing HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"BREW /pot HTTP/1.1\r\n\r\n", ""},
      {"\x01\x02 nonsense\r\n\r\n", ""},
  };
  for (const Case& c : cases) {
    const ReadResult plain = Exchange(ports_.plain, c.request);
    const TlsResult secure = OverTls(c.request);
    ASSERT_TRUE(secure.handshake) << c.request;
    EXPECT_TRUE(plain.eof && secure.read.eof) << c.request;
    EXPECT_EQ(plain.bytes.substr(0, c.status.size()), c.status) << c.request;
    EXPECT_EQ(c.status.empty(), plain.bytes.empty()) << c.request;
    EXPECT_EQ(secure.read.bytes, plain.bytes) << c.request;
  }
}

TEST_F(TlsServerTest, EightMebibyteFileArrivesIntact) {
  Start();
  std::string content(8 << 20, '\0');
  std::mt19937 random(11);
  for (char& c : content) c = static_cast<char>(random());
  files_.Write("big", content);
  const TlsResult result = OverTls("GET /big HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(result.handshake);
  const Response response = SplitResponse(result.read.bytes);
  EXPECT_EQ(response.Header("Content-Length"), std::to_string(content.size()));
  EXPECT_TRUE(response.body == content) << response.body.size() << " bytes arrived";
}

TEST_F(TlsServerTest, HostileHandshakesLeaveNoDescriptorOrThread) {
  const std::size_t threads_before = ThreadCount();
  const std::size_t fds_before = FdCount();
  Start(std::chrono::milliseconds(500));
  {
    // Plain HTTP on the TLS port, and random bytes: closed without an answer.
    const ReadResult http = Exchange(ports_.tls, "GET /text HTTP/1.1\r\n\r\n", false);
    EXPECT_TRUE(http.eof);
    EXPECT_EQ(http.bytes.find("200 OK"), std::string::npos);
    EXPECT_TRUE(Exchange(ports_.tls, std::string(3000, '\x16'), false).eof);
    // A record header promising a ClientHello that never ends: closed at the head deadline.
    EXPECT_TRUE(Exchange(ports_.tls, std::string("\x16\x03\x01\x02\x00\x01", 6), false).eof);
    // The same, and the client leaves.
    EXPECT_TRUE(Exchange(ports_.tls, std::string("\x16\x03\x01\x02\x00\x01", 6), true).eof);
    // Silent: handed over after the deferred accept, closed at the head deadline.
    EXPECT_TRUE(Exchange(ports_.tls, "", false).eof);
  }
  EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
  server_.reset();
  EXPECT_TRUE(ThreadsSettleAt(threads_before)) << ThreadCount() << " vs " << threads_before;
  EXPECT_EQ(FdCount(), fds_before);
}

// With the normal head deadline: under a sanitizer on two cores, a handshake queued behind 99
// others may take longer than the short deadline the hostile cases above use.
TEST_F(TlsServerTest, ThousandHandshakesLeaveNoDescriptorOrThread) {
  const std::size_t threads_before = ThreadCount();
  const std::size_t fds_before = FdCount();
  Start();
  constexpr int kClients = 100;
  constexpr int kEach = 10;  // 1,000 handshakes, 100 at a time
  std::atomic<int> answered{0};
  {
    std::vector<std::jthread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&] {
        for (int i = 0; i < kEach; ++i) {
          const TlsResult r = OverTls("GET /text HTTP/1.1\r\n\r\n");
          if (r.read.eof && SplitResponse(r.read.bytes).body == "text for GET") ++answered;
        }
      });
    }
  }
  EXPECT_EQ(answered, kClients * kEach);
  EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
  server_.reset();
  EXPECT_TRUE(ThreadsSettleAt(threads_before)) << ThreadCount() << " vs " << threads_before;
  EXPECT_EQ(FdCount(), fds_before);
}

TEST_F(TlsServerTest, FuzzCorpusBehindTlsIsAnsweredOrClosed) {
  Start(std::chrono::milliseconds(1000));
  const std::filesystem::path corpus =
      std::filesystem::path(ORVELLE_SOURCE_DIR) / "fuzz" / "corpus" / "request_parser";
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    const TlsResult result = OverTls(bytes.str());
    EXPECT_TRUE(result.handshake && result.read.eof) << entry.path().filename();
    ++replayed;
  }
  EXPECT_GT(replayed, 10);
  EXPECT_EQ(SplitResponse(OverTls("GET /text HTTP/1.1\r\n\r\n").read.bytes).body, "text for GET");
}

TEST_F(TlsServerTest, PlainBindingRedirectsWhenHttpsOnly) {
  Start();
  server_->Active(false);  // the same ports again, now redirecting
  server_->RedirectToHttps = true;
  server_->Active(true);
  const Response plain = SplitResponse(
      Exchange(ports_.plain,
               "POST /echo?a=1 HTTP/1.1\r\nHost: box.lan:80\r\nContent-Length: 2\r\n\r\nab")
          .bytes);
  EXPECT_EQ(plain.status_line, "HTTP/1.1 308 Permanent Redirect");
  EXPECT_EQ(plain.Header("Location"),
            "https://box.lan:" + std::to_string(ports_.tls) + "/echo?a=1");
  EXPECT_EQ(plain.body, "Permanent Redirect");
  const Response other = SplitResponse(Exchange(ports_.plain, "BREW /pot HTTP/1.1\r\n\r\n").bytes);
  EXPECT_EQ(other.Header("Location"), "https://127.0.0.1:" + std::to_string(ports_.tls) + "/pot");
  EXPECT_EQ(SplitResponse(OverTls("GET /text HTTP/1.1\r\n\r\n").read.bytes).body, "text for GET");
}

// With HTTPS only, TLS answers keep every line they had and add the transport rule last; cookies
// set there are never sent back in the clear.
TEST_F(TlsServerTest, HttpsOnlyAddsTransportRuleLastAndSecureCookies) {
  Start();
  const std::string before = OverTls("GET /cookie HTTP/1.1\r\n\r\n").read.bytes;
  server_->Active(false);
  server_->RedirectToHttps = true;
  server_->Active(true);
  for (const char* request : {"GET /cookie HTTP/1.1\r\n\r\n", "GET /x%00 HTTP/1.1\r\n\r\n"}) {
    SCOPED_TRACE(request);
    const Response secure = SplitResponse(OverTls(request).read.bytes);
    ASSERT_FALSE(secure.headers.empty());
    EXPECT_EQ(secure.headers.back(), "Strict-Transport-Security: max-age=31536000");
  }
  const Response cookie = SplitResponse(OverTls("GET /cookie HTTP/1.1\r\n\r\n").read.bytes);
  Response expected = SplitResponse(before);
  expected.headers[0] += "; Secure";
  expected.headers.push_back("Strict-Transport-Security: max-age=31536000");
  EXPECT_EQ(cookie.headers, expected.headers);
  // The plain port only redirects, and says nothing of the transport rule.
  EXPECT_EQ(SplitResponse(Exchange(ports_.plain, "GET /cookie HTTP/1.1\r\n\r\n").bytes)
                .Header("Strict-Transport-Security"),
            "<none>");
}

// TLS 1.2 agrees only on forward-secret AEAD suites; a client offering nothing else is refused.
TEST_F(TlsServerTest, Tls12OffersOnlyEcdheWithAeadCiphers) {
  Start();
  struct Case {
    const char* ciphers;
    bool agreed;
  };
  for (const Case c :
       {Case{"ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256", true},
        Case{"ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305", true},
        Case{"ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA384:"
             "ECDHE-ECDSA-AES256-SHA384",
             false},
        Case{"AES128-GCM-SHA256:AES256-GCM-SHA384:DHE-RSA-AES128-GCM-SHA256", false}}) {
    SCOPED_TRACE(c.ciphers);
    ClientContext client = NewClientContext();
    SSL_CTX_set_max_proto_version(client.get(), TLS1_2_VERSION);
    ASSERT_EQ(SSL_CTX_set_cipher_list(client.get(), c.ciphers), 1);
    const TlsResult result = TlsExchange(client.get(), ports_.tls, "GET /text HTTP/1.1\r\n\r\n");
    EXPECT_EQ(result.handshake, c.agreed);
    if (c.agreed) {
      EXPECT_EQ(SplitResponse(result.read.bytes).body, "text for GET");
    }
  }
  // TLS 1.3 as before.
  EXPECT_EQ(SplitResponse(OverTls("GET /text HTTP/1.1\r\n\r\n").read.bytes).body, "text for GET");
}

TEST(HttpsLocationTest, HostIsCheckedAndThePathKept) {
  struct Case {
    const char* host;
    int port;
    const char* target;
    const char* location;
  };
  const Case cases[] = {
      {"box.lan", 8443, "/a/b?x=1", "https://box.lan:8443/a/b?x=1"},
      {"box.lan:8080", 443, "/", "https://box.lan/"},
      {"[fe80::1]:80", 8443, "/p", "https://[fe80::1]:8443/p"},
      {"", 8443, "/p", "https://10.0.0.5:8443/p"},
      {"evil.com/x", 8443, "/p", "https://10.0.0.5:8443/p"},
      {"a\"onload=x", 8443, "/p", "https://10.0.0.5:8443/p"},
      {"user@evil.com", 8443, "/p", "https://10.0.0.5:8443/p"},
      {"box.lan:80x", 8443, "/p", "https://10.0.0.5:8443/p"},
      {"[fe80::1", 8443, "/p", "https://10.0.0.5:8443/p"},
      {"[::1]evil", 8443, "/p", "https://10.0.0.5:8443/p"},
      {"box.lan", 8443, "http://other/q?r", "https://box.lan:8443/q?r"},
      {"box.lan", 8443, "*", "https://box.lan:8443/"},
      {"box.lan", 8443, "/a b<\"\x01\xff", "https://box.lan:8443/a%20b%3C%22%01%FF"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HttpsLocation(c.host, "10.0.0.5", c.port, c.target), c.location) << c.host;
  }
  EXPECT_EQ(HttpsLocation(std::string(300, 'a'), "10.0.0.5", 1, "/"), "https://10.0.0.5:1/");
}

}  // namespace
}  // namespace orvelle::http
