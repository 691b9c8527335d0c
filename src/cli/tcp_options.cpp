// The options' texts are the user's documentation of a service without passwords, so they say so.
#include "tcp_options.h"

namespace orvelle::cli {

namespace {
constexpr int kMaxTcpPort = 65535;
}

void AddTcpOptions(CLI::App& app, TcpArguments& args) {
  app.add_option("--rfc2217-port", args.rfc2217_port,
                 "Offer the serial port to RFC 2217 clients (e.g. pyserial's rfc2217://HOST:N) "
                 "on TCP port N of the --bind address (0: any free port, shown in the log)")
      ->type_name("N")
      ->check(CLI::Range(0, kMaxTcpPort));
  app.add_option("--raw-port", args.raw_port,
                 "Offer the serial port as plain bytes both ways on TCP port N")
      ->type_name("N")
      ->check(CLI::Range(0, kMaxTcpPort));
  app.add_option("--tcp-allow", args.allow,
                 "The client addresses those ports accept, comma-separated CIDR blocks (default: "
                 "this machine only, 127.0.0.0/8,::1); neither protocol has a password, so anyone "
                 "allowed can drive the device")
      ->type_name("CIDR,...");
  app.add_flag("--tcp-takeover", args.takeover,
               "A new network client replaces the connected one (default: it is refused)");
  app.add_option("--tcp-device", args.device,
                 "The port a network client opens when no page has one open, with 9600 8N1 "
                 "(default with --demo: the simulated instrument)")
      ->type_name("PORT");
}

std::optional<netport::TcpPortSettings> TcpSettings(const TcpArguments& args,
                                                    const std::string& bind) {
  if (args.rfc2217_port == netport::TcpPortSettings::kOff &&
      args.raw_port == netport::TcpPortSettings::kOff) {
    return std::nullopt;
  }
  std::string error;
  std::optional<netport::AddressAllowList> allow =
      netport::AddressAllowList::Parse(args.allow, error);
  if (!allow) throw CLI::ValidationError("--tcp-allow", error);
  if (args.rfc2217_port != netport::TcpPortSettings::kOff && args.rfc2217_port == args.raw_port &&
      args.raw_port != 0) {
    throw CLI::ValidationError("--raw-port", "the same port as --rfc2217-port");
  }
  netport::TcpPortSettings settings;
  settings.rfc2217_port = args.rfc2217_port;
  settings.raw_port = args.raw_port;
  settings.bind = bind;
  settings.allow = *allow;
  settings.takeover = args.takeover;
  return settings;
}

}  // namespace orvelle::cli
