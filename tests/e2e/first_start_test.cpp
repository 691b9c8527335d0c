// What a newcomer sees from the real binary at the first start and on the command line: the
// created configuration named right after the defined message, the address served, --bind,
// port 80 without the right to bind it, and a missing page for render.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "server_process.h"

namespace orvelle::e2e {
namespace {

constexpr const char* kSetpriv = "/usr/bin/setpriv";

struct Row {
  const char* name;
  std::vector<std::string> args;     // "{home}" stands for the temporary home
  bool serves;                       // the server keeps running until SIGTERM
  int exit_code;                     // when it does not
  std::vector<std::string> out_has;  // in this order on stdout; "{home}" and "{port}" replaced
  bool out_empty;
  std::string err_has;
  const char* listens_on;  // the listener's address in /proc/net/tcp, for serving rows
};

std::string Fill(std::string text, const std::string& home, int port) {
  for (const auto& [key, value] :
       {std::pair<std::string, std::string>{"{home}", home}, {"{port}", std::to_string(port)}}) {
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
      text.replace(at, key.size(), value);
    }
  }
  return text;
}

// The local address ("0100007F" is 127.0.0.1) of the TCP listener on `port`, empty if none.
std::string ListenerAddress(int port) {
  std::istringstream table(ReadText("/proc/net/tcp"));
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.ends_with(wanted)) return local.substr(0, local.find(':'));
  }
  return {};
}

int PortFromLog(const std::string& out) {
  const std::string marker = "Serving http://";
  const auto at = out.find(marker);
  const auto colon = out.find(':', at + marker.size());
  return at == std::string::npos ? 0 : std::stoi(out.substr(colon + 1));
}

TEST(FirstStart, NewcomerSeesWhatHappenedAndWhatToDo) {
  // clang-format off
  const std::vector<Row> rows = {
      {"first start names the file it created and the address served",
       {"--home", "{home}", "--port", "0", "--bind", "127.0.0.1"}, true, 0,
       {" Error loading configuration. Please check configuration.\n",
        " Created {home}/config.ini with the default settings.\n",
        " Listening for HTTP connections on 127.0.0.1:{port}.\n",
        " Serving http://127.0.0.1:{port}/"},
       false, "Error loading configuration.", "0100007F"},
      {"without --bind every interface listens",
       {"--home", "{home}", "--port", "0"}, true, 0,
       {" Listening for HTTP connections on 0.0.0.0:{port}.\n",
        " Serving http://127.0.0.1:{port}/"},
       false, "", "00000000"},
      {"--bind localhost is the loopback address",
       {"--home", "{home}", "--port", "0", "--bind", "localhost"}, true, 0,
       {" Listening for HTTP connections on 127.0.0.1:{port}.\n"},
       false, "", "0100007F"},
      {"--bind takes an address or localhost, not another host name",
       {"--home", "{home}", "--bind", "example.org"}, false, 2,
       {}, true, "--bind: not an IPv4 or IPv6 address, nor localhost: example.org", nullptr},
      {"render of a missing page: the message on stderr only",
       {"render", "{home}/missing.ovs", "--home", "{home}"}, false, 1,
       {}, true, "orvelle: script not found: {home}/missing.ovs\n", nullptr},
      {"port 80 without the capability says what to do",
       {kSetpriv, "--bounding-set=-net_bind_service", ORVELLE_BINARY, "--home", "{home}",
        "--port", "80", "--bind", "127.0.0.1"}, false, 1,
       {"Socket Error # 10013",
        " Port 80 needs root or the CAP_NET_BIND_SERVICE capability; try --port 8080\n"},
       false, "", nullptr},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.args[0] == kSetpriv && ::access(kSetpriv, X_OK) != 0) continue;
    TempHome home;
    const std::string path = home.Path().string();
    std::vector<std::string> args;
    if (row.args[0] != kSetpriv) args.push_back(ORVELLE_BINARY);
    for (const std::string& arg : row.args) args.push_back(Fill(arg, path, 0));
    const fs::path out_file = home.Path() / "out.txt", err_file = home.Path() / "err.txt";
    const pid_t pid = Spawn(args, out_file, err_file);
    int port = 0;
    std::optional<int> code;
    if (row.serves) {
      const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
      while (port == 0 && !code && std::chrono::steady_clock::now() < deadline) {
        port = PortFromLog(ReadText(out_file));
        if (port == 0) code = WaitExit(pid, std::chrono::milliseconds(20));
      }
      EXPECT_GT(port, 0) << ReadText(out_file) << ReadText(err_file);
      if (port > 0) {
        EXPECT_EQ(ListenerAddress(port), row.listens_on);
      }
      if (!code) ::kill(pid, SIGTERM);
    }
    if (!code) code = WaitExit(pid, kProcessLimit);
    if (!code) {
      ::kill(pid, SIGKILL);
      WaitExit(pid, kProcessLimit);
    }
    EXPECT_EQ(code, std::optional<int>(row.exit_code));
    const std::string out = ReadText(out_file), err = ReadText(err_file);
    std::size_t at = 0;
    for (const std::string& expected : row.out_has) {
      at = out.find(Fill(expected, path, port), at);
      EXPECT_NE(at, std::string::npos) << Fill(expected, path, port) << "\nin:\n" << out;
      if (at == std::string::npos) break;
    }
    if (row.out_empty) {
      EXPECT_EQ(out, "");
    }
    EXPECT_NE(err.find(Fill(row.err_has, path, port)), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace orvelle::e2e
