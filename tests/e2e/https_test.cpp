// The real binary over HTTPS: --make-cert's pair verified by curl, every kind of request
// answered alike on both ports, a script held busy and aborted over TLS, --https-only, the
// clear-text password warning, and bad pairs or options refused with one line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "http/test_client.h"
#include "http/tls_client.h"
#include "server_process.h"

namespace orvelle::e2e {
namespace {

using http::testing::Exchange;
using http::testing::SplitResponse;

constexpr const char* kShowPage = "<% echo (\"a=\" & a & \" ip=\" & peerIP) %>\n";
constexpr const char* kLongPage =
    "<%\necho (\"started\")\nfor (i, 1, 2000000000, 1)\nnext\necho (\"finished\")\n%>\n";
// Bounded polling for the long page to hold the script slot.
constexpr int kPollTries = 1500;

int LoggedHttpsPort(const ServerProcess& server) {
  const std::string out = server.Stdout();
  const std::string line = "Listening for HTTPS connections on 127.0.0.1:";
  const auto at = out.find(line);
  return at == std::string::npos ? 0 : std::stoi(out.substr(at + line.size()));
}

class HttpsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const Finished made = RunToEnd(home, {"--make-cert", certs().string()});
    ASSERT_EQ(made.code, 0) << made.err;
    // What to run next, with the paths as written.
    ASSERT_NE(made.out.find("\nServe HTTPS with them: orvelle --https-port 8443 --cert " +
                            (certs() / "cert.pem").string() + " --key " +
                            (certs() / "key.pem").string() + "\n"),
              std::string::npos)
        << made.out;
    home.Page("index.html", "<p>root</p>");
    home.Page("show.ovs", kShowPage);
    home.Page("long.ovs", kLongPage);
    home.Page("private/a.txt", "secret");
  }
  fs::path certs() const { return home.Path() / "certs"; }
  void Start(const std::string& config, std::vector<std::string> extra = {}) {
    home.Config(config);
    std::vector<std::string> args{"--https-port", "0",
                                  "--cert",       (certs() / "cert.pem").string(),
                                  "--key",        (certs() / "key.pem").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    server.emplace(home, 0, args);
    ASSERT_GT(server->Port(), 0) << server->Stdout() << server->Stderr();
    tls_port = LoggedHttpsPort(*server);
    ASSERT_GT(tls_port, 0) << server->Stdout();
  }
  std::string OverTls(const std::string& request) {
    return http::testing::TlsExchange(client.get(), tls_port, request).read.bytes;
  }

  TempHome home;
  std::optional<ServerProcess> server;
  int tls_port = 0;
  http::testing::ClientContext client = http::testing::NewClientContext();
};

TEST_F(HttpsServerTest, MadeCertificateIsVerifiedAndKeyIsPrivate) {
  struct stat key {};
  ASSERT_EQ(::stat((certs() / "key.pem").c_str(), &key), 0);
  EXPECT_EQ(key.st_mode & 0777, 0600);
  Start("Server port=80\r\n");
  const std::string ca = (certs() / "cert.pem").string();
  for (const std::string host : {"localhost", "127.0.0.1"}) {
    EXPECT_EQ(
        Curl({"--cacert", ca, "--resolve", "localhost:" + std::to_string(tls_port) + ":127.0.0.1",
              "https://" + host + ":" + std::to_string(tls_port) + "/"}),
        "<p>root</p>")
        << host;
  }
  // A second run refuses to replace the pair.
  const Finished again = RunToEnd(home, {"--make-cert", certs().string()});
  EXPECT_EQ(again.code, 1);
  EXPECT_NE(again.err.find("exists"), std::string::npos) << again.err;
}

TEST_F(HttpsServerTest, EveryKindOfRequestIsAnsweredAlikeOnBothPorts) {
  Start("Server port=80\r\nAuth require=yes\r\nAuth user=u\r\nAuth password=p\r\n");
  const std::string auth = "Authorization: Basic dTpw\r\n";  // u:p
  const std::string requests[] = {
      "GET / HTTP/1.1\r\n" + auth,
      "HEAD /index.html HTTP/1.1\r\n" + auth,
      "GET /index.html HTTP/1.1\r\n",  // no credentials: 401
      "GET /show.ovs?a=7 HTTP/1.1\r\n" + auth,
      "HEAD /show.ovs HTTP/1.1\r\n" + auth,
      "POST /show.ovs HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: 3\r\n" +
          auth + "\r\na=5",
      "GET /missing.html HTTP/1.1\r\n" + auth,
      "GET /../config.ini HTTP/1.1\r\n" + auth,
      "GET /abort.ovs HTTP/1.1\r\n" + auth,
      "DELETE / HTTP/1.1\r\n",
  };
  for (std::string request : requests) {
    if (request.find("\r\n\r\n") == std::string::npos) request += "\r\n";
    const std::string plain = Exchange(server->Port(), request).bytes;
    EXPECT_EQ(plain.starts_with("HTTP/1.1 "), !request.starts_with("DELETE")) << request;
    EXPECT_EQ(OverTls(request), plain) << request;
  }
  EXPECT_TRUE(server->WaitForLog("Command other: DELETE"));
}

TEST_F(HttpsServerTest, ScriptHeldBusyOverTlsAndAbortedOverTls) {
  Start("Server port=80\r\n");
  std::string long_body;
  std::atomic<bool> finished{false};
  std::jthread runner([&] {
    // A poll below can take the slot first; then the long page is turned away and asked again.
    for (int i = 0; i < kPollTries; ++i) {
      long_body = Curl({"-k", "https://127.0.0.1:" + std::to_string(tls_port) + "/long.ovs"});
      if (long_body.find("Another script is running") == std::string::npos) break;
    }
    finished = true;
  });
  std::string busy;
  for (int i = 0; i < kPollTries && !finished; ++i) {
    busy = SplitResponse(Exchange(server->Port(), "GET /show.ovs HTTP/1.1\r\n\r\n").bytes).body;
    if (busy.find("Another script is running") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_NE(busy.find("Another script is running"), std::string::npos) << busy;
  EXPECT_EQ(SplitResponse(OverTls("GET /show.ovs HTTP/1.1\r\n\r\n")).body, busy);
  EXPECT_NE(SplitResponse(OverTls("GET /abort.ovs HTTP/1.1\r\n\r\n")).body.find("Script aborted"),
            std::string::npos);
  runner.join();
  EXPECT_EQ(long_body, "started\r\n");
}

TEST_F(HttpsServerTest, HttpsOnlyRedirectsThePlainPort) {
  Start("Server port=80\r\n", {"--https-only"});
  const auto plain = SplitResponse(
      Exchange(server->Port(), "GET /show.ovs?a=1 HTTP/1.1\r\nHost: localhost:1\r\n\r\n").bytes);
  EXPECT_EQ(plain.status_line, "HTTP/1.1 308 Permanent Redirect");
  EXPECT_EQ(plain.Header("Location"),
            "https://localhost:" + std::to_string(tls_port) + "/show.ovs?a=1");
  const auto hostile =
      SplitResponse(Exchange(server->Port(), "GET / HTTP/1.1\r\nHost: <b>x</b>\r\n\r\n").bytes);
  EXPECT_EQ(hostile.Header("Location"), "https://127.0.0.1:" + std::to_string(tls_port) + "/");
  EXPECT_EQ(SplitResponse(OverTls("GET /show.ovs?a=1 HTTP/1.1\r\n\r\n")).body,
            "a=1 ip=127.0.0.1\r\n\r\n");
}

TEST_F(HttpsServerTest, ClearTextPasswordsAreWarnedOfOnlyWithoutHttps) {
  const std::string config = "Server port=80\r\nAuth require=yes\r\n";
  const std::string warning = "passwords travel in clear text";
  Start(config);
  EXPECT_EQ(server->Stdout().find(warning), std::string::npos);
  server.reset();
  home.Config(config);
  ServerProcess plain(home);
  ASSERT_GT(plain.Port(), 0);
  EXPECT_TRUE(plain.WaitForLog(warning)) << plain.Stdout();
}

TEST_F(HttpsServerTest, BadPairsAndOptionsAreRefusedWithOneLine) {
  home.Config("Server port=80\r\n");
  const std::string cert = (certs() / "cert.pem").string();
  const std::string key = (certs() / "key.pem").string();
  const std::string port = "0";
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string says = {};  // part of the line on stderr
  };
  const Case cases[] = {
      {{"--https-port", port, "--cert", key, "--key", cert},
       1,
       "; --cert " + key + " holds a private key, not a certificate; --key " + cert +
           " holds a certificate, not a private key: the two are swapped\n"},
      {{"--https-port", port, "--cert", key, "--key", key},
       1,
       "; --cert " + key + " holds a private key, not a certificate\n"},
      {{"--https-port", port, "--cert", cert, "--key", cert}, 1},
      {{"--https-port", port, "--cert", "/nonexistent", "--key", key}, 1},
      {{"--https-port", port, "--cert", cert}, 2},
      {{"--cert", cert, "--key", key}, 2},
      {{"--https-only"}, 2},
      {{"--https-port", "70000", "--cert", cert, "--key", key}, 2},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"--home", home.Path().string(), "--port", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Finished run = RunToEnd(home, args);
    EXPECT_EQ(run.code, c.code) << args[5];
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out.find("Listening"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace orvelle::e2e
