// The command line as a newcomer meets it: --help texts without parser jargon, --bind with
// IPv6, one version everywhere, and a home without pages that says so.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server_process.h"

namespace orvelle::e2e {
namespace {

// A server started with `args` after --home; stopped at the end of the scope.
class Started {
 public:
  Started(const TempHome& home, std::vector<std::string> args) : out_(home.Path() / "server.out") {
    args.insert(args.begin(), {ORVELLE_BINARY, "--home", home.Path().string()});
    pid_ = Spawn(args, out_, home.Path() / "server.err");
  }
  ~Started() {
    ::kill(pid_, SIGTERM);
    if (!WaitExit(pid_, kProcessLimit)) ::kill(pid_, SIGKILL);
  }
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;
  // The text after `marker` up to the end of its line, once stdout has it; empty after the limit.
  std::string After(const std::string& marker) const {
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string out = ReadText(out_);
      if (const auto at = out.find(marker); at != std::string::npos) {
        if (const auto end = out.find('\n', at); end != std::string::npos) {
          return out.substr(at + marker.size(), end - at - marker.size());
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
  }
  std::string Out() const { return ReadText(out_); }

 private:
  fs::path out_;
  pid_t pid_ = -1;
};

TEST(CommandLineForNewcomers, HelpShowsValueWordsWithoutParserJargon) {
  TempHome home;
  struct Row {
    std::vector<std::string> args;
    std::vector<std::string> shows;
  };
  const Row rows[] = {
      {{"--help"},
       {"--home DIR", "--port PORT", "--bind ADDRESS", "--cert FILE", "--key FILE",
        "--traffic-log FILE", "--mqtt-ca FILE", "--make-cert DIR", "::1"}},
      {{"render", "--help"}, {"--home DIR", "FILE", "NAME=VALUE"}},
      {{"check", "--help"}, {"PAGE|DIR", "folders"}},
  };
  for (const Row& row : rows) {
    const Finished run = RunToEnd(home, row.args);
    EXPECT_EQ(run.code, 0) << row.args[0];
    for (const std::string& word : row.shows) {
      EXPECT_NE(run.out.find(word), std::string::npos) << word << " in " << run.out;
    }
    for (const char* jargon : {"INT:", "Needs:", "TEXT:", "in [0 - 65535]"}) {
      EXPECT_EQ(run.out.find(jargon), std::string::npos) << jargon << " in " << run.out;
    }
  }
  EXPECT_EQ(RunToEnd(home, {"--bind", "example.org"}).code, 2);
}

// ::1 serves over IPv6, with its address in brackets, and the Server header carries the version
// --version gives. (localhost is in the first-start table.)
TEST(CommandLineForNewcomers, BindTakesLocalhostAndIpv6AndOneVersionShowsEverywhere) {
  TempHome home;
  home.Page("a.txt", "over six");
  const Started server(home, {"--port", "0", "--bind", "::1"});
  const std::string port = server.After("Listening for HTTP connections on [::1]:");
  ASSERT_FALSE(port.empty()) << server.Out();
  ASSERT_EQ(port.back(), '.');
  const std::string url = "http://[::1]:" + port.substr(0, port.size() - 1);
  EXPECT_NE(server.Out().find("Serving " + url + "/\n"), std::string::npos) << server.Out();
  const std::string head = Curl({"-g", "-i", url + "/a.txt"});
  EXPECT_NE(head.find("\r\n\r\nover six"), std::string::npos) << head;

  const Finished version = RunToEnd(home, {"--version"});
  ASSERT_TRUE(version.out.starts_with("orvelle ")) << version.out;
  const std::string number = version.out.substr(8, version.out.find('\n') - 8);
  EXPECT_NE(head.find("\r\nServer: Orvelle/" + number + "\r\n"), std::string::npos) << head;
}

TEST(CommandLineForNewcomers, HomeWithoutPagesSaysSoAtStart) {
  TempHome home;
  fs::remove(home.Web());
  const ServerProcess server(home);
  EXPECT_TRUE(server.WaitForLog("There is no folder " + home.Web().string() +
                                ", so every request will get 404 (is --home right?). The shipped "
                                "pages are in "))
      << server.Stdout();
}

}  // namespace
}  // namespace orvelle::e2e
