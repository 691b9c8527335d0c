// Test helpers: a blocking client on 127.0.0.1 with time bounds, and a response splitter.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "http/http_server.h"

namespace orvelle::http::testing {

// No test may wait longer than this for a socket.
inline constexpr int kClientTimeoutSeconds = 10;

inline base::UniqueFd Connect(int port) {
  base::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  timeval timeout{kClientTimeoutSeconds, 0};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return base::UniqueFd{};
  }
  return fd;
}

inline bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

struct ReadResult {
  std::string bytes;
  bool eof = false;  // the server closed (FIN or reset), as opposed to a client timeout
};

inline ReadResult ReadAll(int fd) {
  ReadResult result;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      result.bytes.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    result.eof = n == 0 || errno == ECONNRESET;
    return result;
  }
}

// Sends a request, optionally half-closes, and reads until the server closes.
inline ReadResult Exchange(int port, std::string_view request, bool half_close = false) {
  base::UniqueFd fd = Connect(port);
  if (!fd.Valid()) return {};
  SendAll(fd.Get(), request);
  if (half_close) ::shutdown(fd.Get(), SHUT_WR);
  return ReadAll(fd.Get());
}

struct Response {
  std::string status_line;
  std::vector<std::string> headers;  // in order, without CR LF
  std::string body;
  bool has_header_end = false;

  std::string Header(std::string_view name) const {
    for (const auto& line : headers) {
      if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
          line[name.size()] == ':') {
        return line.substr(name.size() + 2);
      }
    }
    return "<none>";
  }
};

inline Response SplitResponse(const std::string& raw) {
  Response response;
  const auto end = raw.find("\r\n\r\n");
  response.has_header_end = end != std::string::npos;
  const std::string head = raw.substr(0, end);
  if (response.has_header_end) response.body = raw.substr(end + 4);
  std::size_t start = 0;
  while (start <= head.size()) {
    const auto crlf = head.find("\r\n", start);
    const std::string line = head.substr(start, crlf == std::string::npos ? crlf : crlf - start);
    if (start == 0) {
      response.status_line = line;
    } else {
      response.headers.push_back(line);
    }
    if (crlf == std::string::npos) break;
    start = crlf + 2;
  }
  return response;
}

// A server bound to 127.0.0.1 on a port the system chooses.
inline int StartOnLoopback(THTTPServer& server) {
  server.Bindings().Clear();
  TSocketHandle& binding = server.Bindings().Add();
  binding.IP = "127.0.0.1";
  binding.Port = 0;
  server.Active(true);
  return server.Bindings()[0].Port;
}

}  // namespace orvelle::http::testing
