// TSocketHandle: one IPv4 stream socket with its local and peer addresses.
#pragma once

#include <memory>
#include <string>

#include "base/unique_fd.h"

namespace orvelle::http {

class TTlsContext;

class TSocketHandle {
 public:
  TSocketHandle() = default;
  TSocketHandle(std::string ip, int port) : IP(std::move(ip)), Port(port) {}

  std::string IP;      // local address (IPv4 or IPv6 text); empty means all IPv4 interfaces
  int Port = 0;        // local port; 0 lets the system choose, read back after Bind
  std::string PeerIP;  // dotted decimal (IPv6 text for an IPv6 client), filled at accept
  int PeerPort = 0;
  // Set on a binding whose clients speak TLS; its accepted connections carry it too.
  std::shared_ptr<const TTlsContext> Tls;

  bool HandleAllocated() const { return fd_.Valid(); }
  int Handle() const { return fd_.Get(); }

  // Creates the socket, sets address reuse, binds to IP:Port and reads the bound address back.
  // Throws ECouldNotBindSocket when the address is in use, ESocketError otherwise.
  void Bind();
  // With `defer_accept`, connections become acceptable once their first bytes have come.
  void Listen(int backlog, bool defer_accept = false);
  // Accepts one pending connection; returns a handle without a socket when none is pending.
  TSocketHandle Accept();
  void CloseSocket();

 private:
  explicit TSocketHandle(base::UniqueFd fd) : fd_(std::move(fd)) {}
  void ReadAddresses();  // the local one

  base::UniqueFd fd_;
};

}  // namespace orvelle::http
