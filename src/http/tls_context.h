// TTlsContext: the server's certificate, key and TLS settings, shared by every TLS connection.
#pragma once

#include <memory>
#include <string>

#include "http/exceptions.h"

using SSL_CTX = struct ssl_ctx_st;

namespace orvelle::http {

// A certificate or key that cannot be used, or a TLS conversation that failed; the message is
// one line.
class ETlsError : public EServerException {
 public:
  using EServerException::EServerException;
  const char* ClassName() const override { return "ETlsError"; }
};

class TTlsContext {
 public:
  // Loads the certificate chain (PEM, leaf first) and its private key. Throws ETlsError naming
  // the file and the reason when either cannot be read or they do not belong together.
  static std::shared_ptr<const TTlsContext> FromFiles(const std::string& cert_file,
                                                      const std::string& key_file);
  struct TKey {  // only FromFiles makes one
   private:
    friend class TTlsContext;
    TKey() = default;
  };
  explicit TTlsContext(TKey);
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  // The library's context; connections take their settings from it. Thread-safe to share.
  SSL_CTX* Get() const { return context_.get(); }

 private:
  struct TFree {
    void operator()(SSL_CTX* context) const;
  };

  std::unique_ptr<SSL_CTX, TFree> context_;
};

// The library's last error as one line, and the queue cleared; `fallback` when it has none.
std::string TakeTlsError(const std::string& fallback);

}  // namespace orvelle::http
