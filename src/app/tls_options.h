// The HTTPS options shared by orvelle and orvelle-gui: their command-line form and the loading
// of the certificate pair into the server's options.
#pragma once

#include <CLI/CLI.hpp>
#include <fstream>
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
          ->type_name("PORT")
          ->check(CLI::Range(0, kMaxTcpPort));
  CLI::Option* cert =
      app.add_option("--cert", args.cert,
                     "Certificate FILE for HTTPS (PEM; a chain: the server's certificate first, "
                     "then the intermediates); with --https-port")
          ->type_name("FILE");
  CLI::Option* key =
      app.add_option("--key", args.key, "Private key FILE for HTTPS (PEM); with --https-port")
          ->type_name("FILE");
  CLI::Option* only = app.add_flag("--https-only", args.https_only,
                                   "Answer every request on the plain port with a redirect to "
                                   "the same page over HTTPS; with --https-port");
  port->needs(cert)->needs(key);
  cert->needs(port);
  key->needs(port);
  only->needs(port);
}

// Whether the start of `file` holds a PEM block whose label ends in `label` ("CERTIFICATE",
// "PRIVATE KEY"); the blocks come first in any PEM file, so the start is enough.
inline bool PemHolds(const std::string& file, const std::string& label) {
  constexpr std::size_t kPemLook = 64 * 1024;  // far more than a key or a few certificates
  std::ifstream in(file, std::ios::binary);
  std::string head(kPemLook, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  const std::size_t begin = head.find("-----BEGIN ");
  return begin != std::string::npos && head.find(label + "-----", begin) != std::string::npos;
}

// The library's reason for a swapped pair ("no start line") does not say what is wrong.
inline std::string SwappedPairHint(const TlsArguments& args) {
  const bool cert_has_key =
      PemHolds(args.cert, "PRIVATE KEY") && !PemHolds(args.cert, "CERTIFICATE");
  const bool key_has_cert = PemHolds(args.key, "CERTIFICATE") && !PemHolds(args.key, "PRIVATE KEY");
  std::string hint;
  if (cert_has_key) hint += "; --cert " + args.cert + " holds a private key, not a certificate";
  if (key_has_cert) hint += "; --key " + args.key + " holds a certificate, not a private key";
  if (cert_has_key && key_has_cert) hint += ": the two are swapped";
  return hint;
}

// Loads the pair into `options`; throws http::ETlsError with a one-line reason.
inline void ApplyTls(const TlsArguments& args, ServerOptions& options) {
  if (args.https_port < 0) return;
  try {
    options.tls = http::TTlsContext::FromFiles(args.cert, args.key);
  } catch (const http::ETlsError& error) {
    const std::string hint = SwappedPairHint(args);
    if (hint.empty()) throw;
    throw http::ETlsError(error.what() + hint);
  }
  options.https_port = args.https_port;
  options.https_only = args.https_only;
}

}  // namespace orvelle::app
