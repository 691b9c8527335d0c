// Test helpers: a TLS client over the blocking test socket (same time bounds), a certificate
// pair made with the server's own generator, and a server with a plain and a TLS binding.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <string_view>

#include "http/self_signed.h"
#include "http/tls_context.h"
#include "temp_dir.h"
#include "test_client.h"

namespace orvelle::http::testing {

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};
using ClientContext = std::unique_ptr<SSL_CTX, SslCtxFree>;

// Trusts anything: the tests check the server's bytes, not its identity.
inline ClientContext NewClientContext() {
  ClientContext context(SSL_CTX_new(TLS_client_method()));
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  return context;
}

// A pair for 127.0.0.1 and localhost in `dir`, loaded.
inline std::shared_ptr<const TTlsContext> TestCertificate(const TempDir& dir) {
  WriteSelfSigned(dir.Path(), {{"localhost"}, {"127.0.0.1"}});
  return TTlsContext::FromFiles((dir.Path() / "cert.pem").string(),
                                (dir.Path() / "key.pem").string());
}

struct TlsResult {
  bool handshake = false;
  ReadResult read;
};

// Connects, completes the handshake, sends `request` and reads until the server closes.
inline TlsResult TlsExchange(SSL_CTX* context, int port, std::string_view request) {
  TlsResult result;
  base::UniqueFd fd = Connect(port);
  if (!fd.Valid()) return result;
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(context));
  SSL_set_fd(ssl.get(), fd.Get());
  SSL_set_tlsext_host_name(ssl.get(), "localhost");
  if (SSL_connect(ssl.get()) != 1) return result;
  result.handshake = true;
  std::size_t written = 0;
  if (!request.empty() && SSL_write_ex(ssl.get(), request.data(), request.size(), &written) != 1)
    return result;
  char buffer[65536];
  std::size_t got = 0;
  while (SSL_read_ex(ssl.get(), buffer, sizeof buffer, &got) == 1)
    result.read.bytes.append(buffer, got);
  const int error = SSL_get_error(ssl.get(), 0);
  // The server closed (close_notify, FIN or reset), as opposed to a client timeout.
  result.read.eof = error == SSL_ERROR_ZERO_RETURN ||
                    (error == SSL_ERROR_SYSCALL && (errno == 0 || errno == ECONNRESET));
  return result;
}

// A server with a plain binding and a TLS one on 127.0.0.1, ports chosen by the system.
struct DualPorts {
  int plain = 0;
  int tls = 0;
};
inline DualPorts StartPlainAndTls(THTTPServer& server, std::shared_ptr<const TTlsContext> tls) {
  server.Bindings().Clear();
  server.Bindings().Add().IP = "127.0.0.1";
  TSocketHandle& secure = server.Bindings().Add();
  secure.IP = "127.0.0.1";
  secure.Tls = std::move(tls);
  for (TSocketHandle& binding : server.Bindings()) binding.Port = 0;
  server.Active(true);
  return {server.Bindings()[0].Port, server.Bindings()[1].Port};
}

}  // namespace orvelle::http::testing
