// The TLS settings: protocol floor, session resumption, kernel TLS, and the certificate pair.
#include "http/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace orvelle::http {
namespace {

// Older protocol versions have known weaknesses; every current client speaks 1.2 or 1.3.
constexpr int kMinProtocol = TLS1_2_VERSION;
// TLS 1.2 offers only forward-secret key exchange with authenticated encryption; the CBC suites
// carry padding-oracle and timing weaknesses. TLS 1.3's own suites are all of this kind already.
constexpr char kTls12Ciphers[] = "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL:!eNULL";
// Sessions remembered for resumption by id (TLS 1.2 clients without tickets); about 256 bytes
// each, so the cache stays a few MiB however many clients come.
constexpr long kSessionCacheSize = 8192;
// Names this server's sessions, so a session is only resumed by the context that made it.
constexpr unsigned char kSessionIdContext[] = "orvelle";

}  // namespace

std::string TakeTlsError(const std::string& fallback) {
  const unsigned long code = ::ERR_peek_error();  // the first: the cause, not a consequence
  ::ERR_clear_error();
  if (code == 0) return fallback;
  const char* reason = ::ERR_reason_error_string(code);
  return reason ? reason : fallback;
}

void TTlsContext::TFree::operator()(SSL_CTX* context) const {
  ::SSL_CTX_free(context);
}

TTlsContext::TTlsContext(TKey) : context_(::SSL_CTX_new(::TLS_server_method())) {
  if (!context_) throw ETlsError("cannot create a TLS context: " + TakeTlsError("out of memory"));
  SSL_CTX* c = context_.get();
  ::SSL_CTX_set_min_proto_version(c, kMinProtocol);
  if (::SSL_CTX_set_cipher_list(c, kTls12Ciphers) != 1)
    throw ETlsError("cannot set the TLS 1.2 ciphers: " + TakeTlsError("none available"));
  // Kernel TLS where the kernel has it, so files can go out by sendfile; client-started
  // renegotiation only costs the server; a client that closes without close_notify is a
  // plain end of input, as a FIN is without TLS.
  ::SSL_CTX_set_options(c, SSL_OP_ENABLE_KTLS | SSL_OP_NO_RENEGOTIATION |
                               SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // Writes may be partial and retried from another buffer: the connection loops over them.
  ::SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  ::SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_SERVER);
  ::SSL_CTX_sess_set_cache_size(c, kSessionCacheSize);
  ::SSL_CTX_set_session_id_context(c, kSessionIdContext, sizeof kSessionIdContext - 1);
}

std::shared_ptr<const TTlsContext> TTlsContext::FromFiles(const std::string& cert_file,
                                                          const std::string& key_file) {
  auto tls = std::make_shared<TTlsContext>(TKey{});
  SSL_CTX* c = tls->Get();
  if (::SSL_CTX_use_certificate_chain_file(c, cert_file.c_str()) != 1)
    throw ETlsError("cannot use certificate " + cert_file + ": " + TakeTlsError("unreadable"));
  if (::SSL_CTX_use_PrivateKey_file(c, key_file.c_str(), SSL_FILETYPE_PEM) != 1)
    throw ETlsError("cannot use key " + key_file + ": " + TakeTlsError("unreadable"));
  if (::SSL_CTX_check_private_key(c) != 1)
    throw ETlsError("key " + key_file + " does not match certificate " + cert_file);
  return tls;
}

}  // namespace orvelle::http
