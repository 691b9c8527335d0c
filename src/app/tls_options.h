// The HTTPS options shared by orvelle and orvelle-gui: their command-line form and the loading
// of the certificate pair into the server's options.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "app/server_main.h"
#include "http/tls_context.h"

namespace orvelle::app {

// The highest TCP port.
inline constexpr int kMaxTcpPort = 65535;

struct TlsArguments {
  int https_port = -1;  // -1: no HTTPS
  std::string cert;
  std::string key;
  bool https_only = false;
};

// Registers --https-port, --cert, --key and --https-only; they go together as the parser
// enforces, so a half-given set is a usage error.
inline void AddTlsOptions(CLI::App& app, TlsArguments& args) {
  CLI::Option* port =
      app.add_option("--https-port", args.https_port,
                     "Also serve HTTPS on this port (0: any free port, shown in the log); needs "
                     "--cert and --key")
          ->check(CLI::Range(0, kMaxTcpPort));
  CLI::Option* cert =
      app.add_option("--cert", args.cert,
                     "Certificate file for HTTPS (PEM; a chain: the server's certificate first, "
                     "then the intermediates)");
  CLI::Option* key = app.add_option("--key", args.key, "Private key file for HTTPS (PEM)");
  CLI::Option* only = app.add_flag("--https-only", args.https_only,
                                   "Answer every request on the plain port with a redirect to "
                                   "the same page over HTTPS");
  port->needs(cert)->needs(key);
  cert->needs(port);
  key->needs(port);
  only->needs(port);
}

// Loads the pair into `options`; throws http::ETlsError with a one-line reason.
inline void ApplyTls(const TlsArguments& args, ServerOptions& options) {
  if (args.https_port < 0) return;
  options.tls = http::TTlsContext::FromFiles(args.cert, args.key);
  options.https_port = args.https_port;
  options.https_only = args.https_only;
}

}  // namespace orvelle::app
