// The real server on static files: index.html, HEAD, 404 and 403 (containment before
// existence, encoded and backslash paths, a sibling folder differing in case), other methods,
// Basic authentication, the missing configuration, web/log.txt and a port already in use.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "http/test_client.h"
#include "server_process.h"

namespace orvelle::e2e {
namespace {

using http::testing::Exchange;
using http::testing::SplitResponse;

constexpr const char* kAccessDenied =
    "<html><head><title>Error</title></head><body><h1>Access denied</h1>\rYou do not have "
    "sufficient priviligies to access this document.</body></html>";
constexpr const char* kNotFound =
    "<html><head><title>Error</title></head><body><h1>Not Found</h1></body></html>";

http::testing::Response Get(const ServerProcess& server, const std::string& target,
                            const std::string& method = "GET", const std::string& extra = "") {
  return SplitResponse(
      Exchange(server.Port(),
               method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n")
          .bytes);
}

class StaticFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.Config("Server port=80\r\n");
    home.Page("index.html", "<p>root</p>");
    home.Page("docs/index.html", "<p>docs</p>");
    home.Page("style.css", "body{}");
    home.Page("empty/readme.txt", "r");
    home.Page("odd/index.html/inner.txt", "i");  // an index.html that is a folder
    WriteText(home.Path() / "secret.txt", "outside");
    WriteText(home.Path() / "Web" / "x.html", "sibling");
    server.emplace(home);
    ASSERT_GT(server->Port(), 0) << server->Stdout();
  }
  TempHome home;
  std::optional<ServerProcess> server;
};

TEST_F(StaticFilesTest, FilesAndFolderIndexes) {
  struct Case {
    const char* target;
    const char* status;
    const char* type;
    const char* body;
  };
  const Case cases[] = {
      {"/", "HTTP/1.1 200 OK", "text/html", "<p>root</p>"},
      {"/docs", "HTTP/1.1 200 OK", "text/html", "<p>docs</p>"},
      {"/docs/", "HTTP/1.1 200 OK", "text/html", "<p>docs</p>"},
      {"/style.css", "HTTP/1.1 200 OK", "text/css", "body{}"},
      {"/empty/", "HTTP/1.1 404 Not Found", "text/html", kNotFound},
      {"/odd/", "HTTP/1.1 404 Not Found", "text/html", kNotFound},
      {"/odd/index.html/inner.txt", "HTTP/1.1 200 OK", "text/plain", "i"},
      {"/style.css/inner.txt", "HTTP/1.1 404 Not Found", "text/html", kNotFound},
      {"/missing.html", "HTTP/1.1 404 Not Found", "text/html", kNotFound},
      {"/..%2fsecret.txt", "HTTP/1.1 404 Not Found", "text/html", kNotFound},
      {"/../secret.txt", "HTTP/1.1 403 Forbidden", "text/html", kAccessDenied},
      {"/../config.ini", "HTTP/1.1 403 Forbidden", "text/html", kAccessDenied},
      // The server turns backslashes into "/" before the path is mapped.
      {"/..\\secret.txt", "HTTP/1.1 403 Forbidden", "text/html", kAccessDenied},
      {"/../no-such-file", "HTTP/1.1 403 Forbidden", "text/html", kAccessDenied},
      {"/docs/../../secret.txt", "HTTP/1.1 403 Forbidden", "text/html", kAccessDenied},
      {"/../Web/x.html", "HTTP/1.1 403 Forbidden", "text/html", kAccessDenied},
  };
  for (const Case& c : cases) {
    const auto response = Get(*server, c.target);
    EXPECT_EQ(response.status_line, c.status) << c.target;
    EXPECT_EQ(response.Header("Content-Type"), c.type) << c.target;
    EXPECT_EQ(response.body, c.body) << c.target;
  }
}

TEST_F(StaticFilesTest, CurlSeesTheSameWithPathAsIs) {
  EXPECT_EQ(Curl({"--path-as-is", server->Url("/../config.ini")}), kAccessDenied);
  EXPECT_EQ(Curl({server->Url("/docs")}), "<p>docs</p>");
  const std::string head = Curl({"-I", server->Url("/style.css")});
  EXPECT_NE(head.find("Content-Length: 6\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("Content-Type: text/css\r\n"), std::string::npos) << head;
}

TEST_F(StaticFilesTest, HeadSendsHeaderOnly) {
  for (const char* method : {"HEAD", "head"}) {
    const auto raw = Exchange(server->Port(), std::string(method) + " /style.css HTTP/1.1\r\n\r\n");
    const auto response = SplitResponse(raw.bytes);
    EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK") << method;
    EXPECT_EQ(response.Header("Content-Length"), "6") << method;
    EXPECT_EQ(response.body, "") << method;
  }
  // A folder answers with its index.html; one without an index is not there.
  const auto folder = Get(*server, "/docs/", "HEAD");
  EXPECT_EQ(folder.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(folder.Header("Content-Type"), "text/html");
  EXPECT_EQ(folder.Header("Content-Length"), "11");
  EXPECT_EQ(Get(*server, "/empty/", "HEAD").status_line, "HTTP/1.1 404 Not Found");
}

// A FIFO under web/ is no file to send: the request is answered at once, never left hanging on
// a writer that does not come.
TEST_F(StaticFilesTest, FifoIsAnsweredWithoutWaiting) {
  ASSERT_EQ(::mkfifo((home.Path() / "web" / "pipe").c_str(), 0644), 0);
  EXPECT_EQ(Get(*server, "/pipe").status_line, "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(Get(*server, "/style.css").body, "body{}");
}

TEST_F(StaticFilesTest, LogLinesForRequestsAndFiles) {
  Get(*server, "/style.css");
  ASSERT_TRUE(server->WaitForLog("Serving file"));
  const std::string out = server->Stdout();
  const std::regex received(
      R"([A-Z][a-z]{2} \d{1,2}, \d{4} ; \d\d:\d\d Command GET /style\.css received from 127\.0\.0\.1:\d+\n)");
  const std::regex serving(R"(; \d\d:\d\d Serving file )" + (home.Web() / "style.css").string() +
                           R"( \(6 bytes / 6 bytes sent\) to 127\.0\.0\.1:\d+\n)");
  EXPECT_TRUE(std::regex_search(out, received)) << out;
  EXPECT_TRUE(std::regex_search(out, serving)) << out;
}

TEST_F(StaticFilesTest, OtherMethodsGetNoBytesAndAreLogged) {
  const auto raw = Exchange(server->Port(), "DELETE /style.css HTTP/1.1\r\n\r\n");
  EXPECT_EQ(raw.bytes, "");
  EXPECT_TRUE(raw.eof);
  EXPECT_TRUE(server->WaitForLog("Command other: DELETE\n")) << server->Stdout();
}

TEST(ServerStartTest, MissingConfigurationIsCreatedAndReported) {
  TempHome home;
  home.Page("index.html", "hi");
  ServerProcess server(home);
  ASSERT_GT(server.Port(), 0) << server.Stdout();
  EXPECT_EQ(ReadText(home.Path() / "config.ini"),
            "AutoActivate=no\r\nAutoMinimize=no\r\nServer port=80\r\nUse session=no\r\n"
            "Session expire=1\r\nAuth require=no\r\nAuth user=user\r\nAuth password=kelp\r\n"
            "Log to file=no\r\nShow errors on page=no\r\n");
  EXPECT_NE(server.Stderr().find("Error loading configuration. Please check configuration."),
            std::string::npos);
  const std::string out = server.Stdout();
  EXPECT_EQ(out.find("To get help please start the server then click \"Start browser\" button.\n"
                     "The help files contain examples written with scripts.\n"
                     "You can try an web RS232 terminal written with scripts.\n"),
            0u)
      << out;
  EXPECT_NE(out.find(" Error loading configuration. Please check configuration.\n"),
            std::string::npos);
  EXPECT_EQ(server.Terminate(kProcessLimit), std::optional<int>(0));
  EXPECT_NE(server.Stdout().find("Stop listening, com port closed.\n"), std::string::npos);
}

TEST(ServerStartTest, PortInUseIsLoggedAndTheCommandFails) {
  base::UniqueFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(taken.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken.Get(), 1), 0);
  socklen_t length = sizeof address;
  ::getsockname(taken.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  TempHome home;
  home.Config("Server port=1\r\n");
  ServerProcess server(home, ntohs(address.sin_port));
  EXPECT_EQ(server.ExitCode(), std::optional<int>(1));
  const std::regex failure(
      R"(\d\d:\d\d Exception ECouldNotBindSocket in Activate\. Error is:"Could not bind socket\. )"
      R"(Address and port are already in use\."\.\n)");
  EXPECT_TRUE(std::regex_search(server.Stdout(), failure)) << server.Stdout();
  EXPECT_NE(server.Stdout().find("Port " + std::to_string(ntohs(address.sin_port)) +
                                 " is already in use by another program (perhaps another "
                                 "Orvelle): stop it, or pick another port with --port N"),
            std::string::npos)
      << server.Stdout();
}

TEST(ServerLogFileTest, LinesAppendedWithPrefixAndCrLfAndServed) {
  TempHome home;
  home.Config("Log to file=yes\r\n");
  home.Page("a.txt", "a");
  {
    ServerProcess server(home);
    ASSERT_GT(server.Port(), 0);
    Get(server, "/a.txt");
    ASSERT_TRUE(server.WaitForLog("Serving file"));
    const auto served = Get(server, "/log.txt");
    EXPECT_EQ(served.status_line, "HTTP/1.1 200 OK");
    EXPECT_NE(served.body.find(" Command GET /a.txt received from 127.0.0.1:"), std::string::npos);
    EXPECT_EQ(server.Terminate(kProcessLimit), std::optional<int>(0));
  }
  ServerProcess again(home);
  ASSERT_GT(again.Port(), 0);
  EXPECT_EQ(again.Terminate(kProcessLimit), std::optional<int>(0));
  const std::string file = ReadText(home.Web() / "log.txt");
  const std::regex line(R"([A-Z][a-z]{2} \d{1,2}, \d{4} ; \d\d:\d\d [^\r\n]+\r\n)");
  std::size_t lines = 0;
  for (auto it = std::sregex_iterator(file.begin(), file.end(), line); it != std::sregex_iterator();
       ++it) {
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(std::count(file.begin(), file.end(), '\n')));
  // Both runs appended, greeting lines never.
  EXPECT_EQ(file.find("To get help"), std::string::npos);
  std::size_t stops = 0;
  for (auto at = file.find("Stop listening"); at != std::string::npos;
       at = file.find("Stop listening", at + 1)) {
    ++stops;
  }
  EXPECT_EQ(stops, 2u);
}

TEST(ServerAuthTest, BasicCredentialsComparedExactly) {
  TempHome home;
  home.Config("Auth require=yes\r\nAuth user=user\r\nAuth password=kelp\r\n");
  home.Page("a.txt", "a");
  ServerProcess server(home);
  ASSERT_GT(server.Port(), 0);
  struct Case {
    std::vector<std::string> credentials;
    const char* status;
  };
  const Case cases[] = {
      {{}, "HTTP/1.1 401 Unauthorized"},
      {{"-u", "user:kelp"}, "HTTP/1.1 200 OK"},
      {{"-u", "user:Kelp"}, "HTTP/1.1 401 Unauthorized"},
      {{"-u", "User:kelp"}, "HTTP/1.1 401 Unauthorized"},
      {{"-u", "user:kelpx"}, "HTTP/1.1 401 Unauthorized"},
      {{"-u", "user:"}, "HTTP/1.1 401 Unauthorized"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"-i"};
    args.insert(args.end(), c.credentials.begin(), c.credentials.end());
    args.push_back(server.Url("/a.txt"));
    const auto response = SplitResponse(Curl(args));
    EXPECT_EQ(response.status_line, c.status) << testing::PrintToString(c.credentials);
    if (std::string(c.status).find("401") != std::string::npos) {
      EXPECT_EQ(response.Header("WWW-Authenticate"), "Basic realm=\"Orvelle server\"");
      EXPECT_EQ(response.body,
                "<html><head><title>Error</title></head><body><h1>Authentication failed</h1>\r"
                "</body></html>");
    }
  }
}

TEST(ServerAuthTest, EmptyPasswordAcceptsRightUserWithEmptyPassword) {
  TempHome home;
  home.Config("Auth require=yes\r\nAuth user=user\r\nAuth password=\r\n");
  home.Page("a.txt", "a");
  ServerProcess server(home);
  ASSERT_GT(server.Port(), 0);
  EXPECT_EQ(Curl({"-u", "user:", server.Url("/a.txt")}), "a");
  EXPECT_EQ(SplitResponse(Curl({"-i", "-u", "other:", server.Url("/a.txt")})).status_line,
            "HTTP/1.1 401 Unauthorized");
}

}  // namespace
}  // namespace orvelle::e2e
