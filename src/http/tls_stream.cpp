// Non-blocking TLS calls mapped onto "done", "wait for readable/writable", "closed" or an error.
#include "http/tls_stream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>

#include "http/socket_errors.h"
#include "http/tls_context.h"

namespace orvelle::http {

void TTlsStream::TFree::operator()(SSL* ssl) const {
  ::SSL_free(ssl);
}

TTlsStream::TTlsStream(const TTlsContext& context, int fd) : ssl_(::SSL_new(context.Get())) {
  if (!ssl_) throw ETlsError("cannot start TLS: " + TakeTlsError("out of memory"));
  if (::SSL_set_fd(ssl_.get(), fd) != 1)
    throw ETlsError("cannot start TLS: " + TakeTlsError("bad socket"));
  ::SSL_set_accept_state(ssl_.get());
}

// The error queue is per thread and a worker serves many connections: it is always left empty.
TTlsStep TTlsStream::Failed(long result) {
  const int error = ::SSL_get_error(ssl_.get(), static_cast<int>(result));
  switch (error) {
    case SSL_ERROR_WANT_READ:
      return {0, TTlsWait::kReadable, false};
    case SSL_ERROR_WANT_WRITE:
      return {0, TTlsWait::kWritable, false};
    case SSL_ERROR_ZERO_RETURN:
      return {0, TTlsWait::kNone, true};
    case SSL_ERROR_SYSCALL: {
      const int saved = errno;
      ::ERR_clear_error();
      if (saved != 0 && saved != EAGAIN) ThrowSocketError(saved);
      return {0, TTlsWait::kNone, true};  // end of input without close_notify
    }
    default:
      throw ETlsError("TLS: " + TakeTlsError("protocol error"));
  }
}

TTlsWait TTlsStream::Handshake() {
  if (established_) return TTlsWait::kNone;
  errno = 0;
  const int result = ::SSL_do_handshake(ssl_.get());
  if (result == 1) {
    established_ = true;
    return TTlsWait::kNone;
  }
  const TTlsStep step = Failed(result);
  if (step.closed) throw ETlsError("TLS: the peer left during the handshake");
  return step.wait;
}

TTlsStep TTlsStream::Read(char* buffer, std::size_t size) {
  std::size_t got = 0;
  errno = 0;
  if (::SSL_read_ex(ssl_.get(), buffer, size, &got) == 1) return {got, TTlsWait::kNone, false};
  return Failed(0);
}

TTlsStep TTlsStream::Write(const char* bytes, std::size_t size) {
  std::size_t sent = 0;
  errno = 0;
  if (::SSL_write_ex(ssl_.get(), bytes, size, &sent) == 1) return {sent, TTlsWait::kNone, false};
  const TTlsStep step = Failed(0);
  if (step.closed) ThrowSocketError(EPIPE);  // nothing can be written to a closed session
  return step;
}

bool TTlsStream::KernelSend() const {
  return BIO_get_ktls_send(::SSL_get_wbio(ssl_.get())) != 0;
}

TTlsStep TTlsStream::SendFile(int fd, off_t offset, std::size_t size) {
  errno = 0;
  const ossl_ssize_t sent = ::SSL_sendfile(ssl_.get(), fd, offset, size, 0);
  if (sent >= 0) return {static_cast<std::size_t>(sent), TTlsWait::kNone, false};
  const TTlsStep step = Failed(sent);
  if (step.closed) ThrowSocketError(EPIPE);
  return step;
}

bool TTlsStream::Pending() const {
  return ::SSL_pending(ssl_.get()) > 0;
}

void TTlsStream::Close() {
  if (!established_ || closed_) return;
  closed_ = true;
  // One try: a full send buffer or a vanished peer leaves the alert unsent, which clients
  // tolerate, and the close must never wait.
  if (::SSL_shutdown(ssl_.get()) < 0) ::ERR_clear_error();
}

}  // namespace orvelle::http
