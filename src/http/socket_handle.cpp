// Socket creation, binding, listening and accepting over POSIX sockets.
#include "http/socket_handle.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "http/exceptions.h"
#include "http/ipv4_text.h"
#include "http/socket_errors.h"

namespace orvelle::http {
namespace {

// The address as text: dotted decimal for IPv4, also when it reached an IPv6 listener as a
// mapped address, so pages and logs see one form per client.
std::string AddressText(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) return IPv4Text(&v6.sin6_addr.s6_addr[12]);
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    return text;
  }
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
  return IPv4Text(reinterpret_cast<const std::uint8_t*>(&v4.sin_addr.s_addr));
}

int PortOf(const sockaddr_storage& address) {
  return ntohs(address.ss_family == AF_INET6
                   ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                   : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// The socket address for IP (empty: every IPv4 interface) and port; false when IP is no address.
bool MakeAddress(const std::string& ip, int port, sockaddr_storage& out, socklen_t& length) {
  out = {};
  if (ip.find(':') != std::string::npos) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(out);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof v6;
    return ::inet_pton(AF_INET6, ip.c_str(), &v6.sin6_addr) == 1;
  }
  auto& v4 = reinterpret_cast<sockaddr_in&>(out);
  v4.sin_family = AF_INET;
  v4.sin_port = htons(static_cast<uint16_t>(port));
  length = sizeof v4;
  if (ip.empty()) {
    v4.sin_addr.s_addr = htonl(INADDR_ANY);
    return true;
  }
  return ::inet_pton(AF_INET, ip.c_str(), &v4.sin_addr) == 1;
}

void Check(int result) {
  if (result < 0) ThrowSocketError(errno);
}

}  // namespace

void TSocketHandle::Bind() {
  sockaddr_storage address{};
  socklen_t length = 0;
  if (!MakeAddress(IP, Port, address, length)) throw ESocketError(SocketErrorNumber(EADDRNOTAVAIL));
  base::UniqueFd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) throw EInvalidSocket();
  const int one = 1;
  Check(::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one));
  if (address.ss_family == AF_INET6) {
    // "::" takes IPv4 clients too, whatever the system's default; one IPv6 address only itself.
    const int v6_only = IP == "::" ? 0 : 1;
    Check(::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only));
  }
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) < 0) {
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
  sockaddr_storage peer{};
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
  if (IP != "0.0.0.0" && IP != "::") {
    handle.IP = IP;
    handle.Port = Port;
  } else {
    handle.ReadAddresses();
  }
  // accept4 reported the peer already; no getpeername call needed.
  handle.PeerIP = AddressText(peer);
  handle.PeerPort = PortOf(peer);
  handle.Tls = Tls;
  return handle;
}

void TSocketHandle::ReadAddresses() {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  Check(::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&local), &length));
  IP = AddressText(local);
  Port = PortOf(local);
}

void TSocketHandle::CloseSocket() {
  fd_.Reset();
  PeerIP.clear();
  PeerPort = 0;
}

}  // namespace orvelle::http
