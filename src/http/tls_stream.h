// TTlsStream: one server-side TLS session over a non-blocking socket. Every call returns at
// once; what it would have to wait for is returned, and the connection does the waiting under
// its own deadlines.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>

using SSL = struct ssl_st;

namespace orvelle::http {

class TTlsContext;

// What a call needs before it can go on.
enum class TTlsWait { kNone, kReadable, kWritable };

struct TTlsStep {
  std::size_t bytes = 0;            // moved by this call
  TTlsWait wait = TTlsWait::kNone;  // try again once the socket is so
  bool closed = false;              // the peer ended its side (reads only)
};

class TTlsStream {
 public:
  TTlsStream(const TTlsContext& context, int fd);
  TTlsStream(const TTlsStream&) = delete;
  TTlsStream& operator=(const TTlsStream&) = delete;

  // Advances the handshake; kNone once it is done. Throws ETlsError when it fails (garbage,
  // an unsupported version, the peer gone) and ESocketError on socket errors.
  TTlsWait Handshake();
  TTlsStep Read(char* buffer, std::size_t size);
  TTlsStep Write(const char* bytes, std::size_t size);
  // Whether the kernel encrypts what is sent, so SendFile may be used.
  bool KernelSend() const;
  TTlsStep SendFile(int fd, off_t offset, std::size_t size);
  // Decrypted bytes waiting in the session.
  bool Pending() const;
  // Sends close_notify once, without waiting; only after an established handshake.
  void Close();

 private:
  struct TFree {
    void operator()(SSL* ssl) const;
  };
  TTlsStep Failed(long result);

  std::unique_ptr<SSL, TFree> ssl_;
  bool established_ = false;
  bool closed_ = false;
};

}  // namespace orvelle::http
