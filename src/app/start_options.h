// The start options shared by orvelle and orvelle-gui: the port, the listening address and the
// simulated instrument, in their command-line form.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/tls_options.h"
#include "webfront/host_rule.h"

namespace orvelle::app {

struct StartArguments {
  int port = 0;  // read only when given
  bool port_given = false;
  std::string bind;  // empty: every interface
  bool demo = false;
  std::vector<std::string> allowed_hosts;  // --allow-host, each a name or "*.domain"
};

// Registers --port, --bind, --allow-host and --demo; call PortOverride after parsing.
inline void AddStartOptions(CLI::App& app, StartArguments& args) {
  app.add_option("--port", args.port,
                 "Override the \"Server port\" setting (0: any free port, shown in the log)")
      ->check(CLI::Range(0, kMaxTcpPort))
      ->each([&args](const std::string&) { args.port_given = true; });
  app.add_option("--bind", args.bind,
                 "Listen on this IPv4 address only, e.g. 127.0.0.1 to keep the port to this "
                 "machine (default: every interface; without \"Auth require=yes\" anyone who "
                 "reaches the server can use the serial port)")
      ->type_name("ADDRESS")
      ->check(CLI::ValidIPV4);
  app.add_option("--allow-host", args.allowed_hosts,
                 "Also serve requests addressed to this host NAME (repeatable; *.example.org "
                 "allows every name under it). IP addresses, localhost and this machine's own "
                 "names are always served; other names get 421, so a page on a name that "
                 "resolves to this machine cannot reach it")
      ->type_name("NAME")
      ->check(
          [](const std::string& name) {
            return webfront::IsAllowedHostPattern(name) ? std::string()
                                                        : "not a host name or *.domain: " + name;
          },
          "")
      ->expected(1)
      ->take_all();
  app.add_flag("--demo", args.demo,
               "Also run a simulated instrument on a pseudo-terminal and point the RS232 "
               "terminal page (terminal.ovs) at it; pages see its path in the variable demoport");
}

inline std::optional<int> PortOverride(const StartArguments& args) {
  return args.port_given ? std::optional<int>(args.port) : std::nullopt;
}

}  // namespace orvelle::app
