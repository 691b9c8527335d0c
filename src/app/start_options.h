// The start options shared by orvelle and orvelle-gui: the port, the listening address, the
// simulated instrument and the serial port opened at start, in their command-line form, and the
// way --help shows options.
#pragma once

#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/port_at_start.h"
#include "app/tls_options.h"
#include "webfront/host_rule.h"

namespace orvelle::app {

// --help shows each option with the word for its value (PORT, FILE, DIR), without the parser's
// range texts and option cross-references glued to it; descriptions say what goes together.
class PlainHelpFormatter final : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* opt) const override {
    if (opt->get_type_size() == 0) return {};
    const std::string type = opt->get_type_name();
    std::string out = " " + type.substr(0, type.find(':'));
    if (opt->get_expected_max() == CLI::detail::expected_max_vector_size) out += " ...";
    return out;
  }
};

inline void UsePlainHelp(CLI::App& app) {
  app.formatter(std::make_shared<PlainHelpFormatter>());
}

// The host names and addresses --bind takes: an IPv4 or IPv6 address, or "localhost".
inline std::string BindAddress(const std::string& given) {
  if (given == "localhost") return "127.0.0.1";
  return given;
}

struct StartArguments {
  int port = 0;  // read only when given
  bool port_given = false;
  std::string bind;  // empty: every interface
  bool demo = false;
  std::vector<std::string> allowed_hosts;  // --allow-host, each a name or "*.domain"
  std::string open_port;                   // empty: none
  std::string open_port_settings{kDefaultLineSettings};
};

// Registers --port, --bind, --allow-host, --demo, --open-port and --open-port-settings; call
// PortOverride and OpenAtStart after parsing.
inline void AddStartOptions(CLI::App& app, StartArguments& args) {
  app.add_option("--port", args.port,
                 "Override the \"Server port\" setting for this run, never saved (0 to 65535; "
                 "0: any free port, shown in the log)")
      ->type_name("PORT")
      ->check(CLI::Range(0, kMaxTcpPort))
      ->each([&args](const std::string&) { args.port_given = true; });
  app.add_option("--bind", args.bind,
                 "Listen on this address only: localhost or 127.0.0.1 keeps the server to this "
                 "machine, ::1 the same over IPv6, :: every IPv6 and IPv4 interface (default: "
                 "every IPv4 interface; without \"Auth require=yes\" anyone who reaches the "
                 "server can use the serial port)")
      ->type_name("ADDRESS")
      ->transform(CLI::Validator(
          [](std::string& value) -> std::string {
            value = BindAddress(value);
            in6_addr any{};
            if (::inet_pton(AF_INET, value.c_str(), &any) == 1 ||
                ::inet_pton(AF_INET6, value.c_str(), &any) == 1) {
              return {};
            }
            return "not an IPv4 or IPv6 address, nor localhost: " + value;
          },
          "ADDRESS"));
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
  CLI::Option* open_port =
      app.add_option("--open-port", args.open_port,
                     "Open this serial PORT whenever the server starts, as openport opens it "
                     "(a device that is not there yet is waited for)")
          ->type_name("PORT");
  app.add_option("--open-port-settings", args.open_port_settings,
                 "Line settings for --open-port: BAUD DPS [FLOW], e.g. \"115200 8N1\" or "
                 "\"9600 7E1 hardware\" (default: \"9600 8N1 none\")")
      ->type_name("SETTINGS")
      ->check(CLI::Validator([](std::string& text) { return LineSettingsProblem(text); }, "",
                             "line settings"))
      ->needs(open_port);
}

inline std::optional<script::SerialAccess::OpenRequest> OpenAtStart(const StartArguments& args) {
  if (args.open_port.empty()) return std::nullopt;
  return PortAtStart(args.open_port, args.open_port_settings);
}

inline std::optional<int> PortOverride(const StartArguments& args) {
  return args.port_given ? std::optional<int>(args.port) : std::nullopt;
}

}  // namespace orvelle::app
