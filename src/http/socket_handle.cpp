// Socket creation, binding, listening and accepting over POSIX sockets.
#include "http/socket_handle.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "http/exceptions.h"
#include "http/socket_errors.h"

namespace orvelle::http {
namespace {

std::string DottedDecimal(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

void Check(int result) {
  if (result < 0) ThrowSocketError(errno);
}

}  // namespace

void TSocketHandle::Bind() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(Port));
  if (IP.empty()) {
    address.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (::inet_pton(AF_INET, IP.c_str(), &address.sin_addr) != 1) {
    throw ESocketError(SocketErrorNumber(EADDRNOTAVAIL));
  }
  base::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) throw EInvalidSocket();
  const int one = 1;
  Check(::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one));
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    if (errno == EADDRINUSE) throw ECouldNotBindSocket();
    ThrowSocketError(errno);
  }
  fd_ = std::move(fd);
  ReadAddresses();
}

void TSocketHandle::Listen(int backlog, bool defer_accept) {
  // Header and body go out as separate writes; without this the body waits for a delayed ACK.
  // Set on the listener, so every accepted socket has it without a call of its own.
  const int one = 1;
  Check(::setsockopt(fd_.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one));
  if (defer_accept) {
    // A client silent this long is handed over anyway, so read time-outs still apply to it.
    const int defer_seconds = 1;
    Check(::setsockopt(fd_.Get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer_seconds,
                       sizeof defer_seconds));
  }
  Check(::listen(fd_.Get(), backlog));
}

TSocketHandle TSocketHandle::Accept() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  base::UniqueFd fd(::accept4(fd_.Get(), reinterpret_cast<sockaddr*>(&peer), &length,
                              SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!fd.Valid()) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
      return TSocketHandle{};
    }
    ThrowSocketError(errno);
  }
  TSocketHandle handle(std::move(fd));
  // A listener bound to one address accepts on that address; only a wildcard one must ask.
  if (IP != "0.0.0.0") {
    handle.IP = IP;
    handle.Port = Port;
  } else {
    handle.ReadAddresses();
  }
  // accept4 reported the peer already; no getpeername call needed.
  handle.PeerIP = DottedDecimal(peer);
  handle.PeerPort = ntohs(peer.sin_port);
  handle.Tls = Tls;
  return handle;
}

void TSocketHandle::ReadAddresses() {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  Check(::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&local), &length));
  IP = DottedDecimal(local);
  Port = ntohs(local.sin_port);
}

void TSocketHandle::CloseSocket() {
  fd_.Reset();
  PeerIP.clear();
  PeerPort = 0;
}

}  // namespace orvelle::http
