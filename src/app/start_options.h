// The start options shared by orvelle and orvelle-gui: the port, the listening address, the
// simulated instrument and the serial port opened at start, in their command-line form.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "app/port_at_start.h"
#include "app/tls_options.h"

namespace orvelle::app {

struct StartArguments {
  int port = 0;  // read only when given
  bool port_given = false;
  std::string bind;  // empty: every interface
  bool demo = false;
  std::string open_port;  // empty: none
  std::string open_port_settings{kDefaultLineSettings};
};

// Registers --port, --bind, --demo, --open-port and --open-port-settings; call PortOverride and
// OpenAtStart after parsing.
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
