// Socket reads with an idle bound, full writes, zero-copy file sending and the lingering close.
#include "http/connection.h"

#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>

#include "http/exceptions.h"
#include "http/socket_errors.h"

namespace orvelle::http {
namespace {

// A sendfile call moves at most this much, so a stop request is noticed between calls.
constexpr std::size_t kSendFileChunk = 1024 * 1024;

[[noreturn]] void ThrowSendError(int error) {
  // SO_SNDTIMEO expiring shows up as EAGAIN: the reader stalled.
  throw ESocketError(error == EAGAIN ? kErrorTimedOut : SocketErrorNumber(error));
}

}  // namespace

TTCPConnection::TTCPConnection(TSocketHandle socket, TConnectionTimeouts timeouts)
    : socket_(std::move(socket)), timeouts_(timeouts) {
  timeval stall{};
  stall.tv_sec = timeouts_.WriteStall.count() / 1000;
  stall.tv_usec = static_cast<suseconds_t>((timeouts_.WriteStall.count() % 1000) * 1000);
  ::setsockopt(socket_.Handle(), SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
}

void TTCPConnection::CheckOpen() const {
  if (closed_) throw EClosedSocket();
}

bool TTCPConnection::WaitReadable(std::chrono::milliseconds timeout) {
  pollfd p{socket_.Handle(), POLLIN, 0};
  for (;;) {
    const int n = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (n >= 0) return n > 0;
    if (errno != EINTR) ThrowSocketError(errno);
  }
}

std::string_view TTCPConnection::ReceiveChunk() {
  CheckOpen();
  if (peer_closed_) return {};
  // Into a scratch buffer, not a zero-filled tail of input_: most reads are a few hundred bytes.
  char chunk[kReceiveChunk];
  // The request is usually there already; wait only when it is not.
  ssize_t n = ::recv(socket_.Handle(), chunk, sizeof chunk, MSG_DONTWAIT);
  while (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    if (errno != EINTR && !WaitReadable(timeouts_.ReadIdle)) throw EReadTimeout();
    n = ::recv(socket_.Handle(), chunk, sizeof chunk, MSG_DONTWAIT);
  }
  if (n < 0) ThrowSocketError(errno);
  if (n == 0) peer_closed_ = true;
  const std::size_t old_size = input_.size();
  input_.append(chunk, static_cast<std::size_t>(n));
  return std::string_view(input_).substr(old_size);
}

std::string TTCPConnection::ReadLn(std::size_t max_length) {
  std::size_t scanned = 0;
  for (;;) {
    const auto lf = input_.find('\n', scanned);
    if (lf != std::string::npos) {
      const std::size_t length = lf > 0 && input_[lf - 1] == '\r' ? lf - 1 : lf;
      if (length > max_length) throw ESocketError(SocketErrorNumber(EMSGSIZE));
      std::string line = input_.substr(0, lf);
      input_.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (input_.size() > max_length + 1) throw ESocketError(SocketErrorNumber(EMSGSIZE));
    scanned = input_.size();
    if (ReceiveChunk().empty()) throw EConnClosedGracefully();
  }
}

std::string TTCPConnection::ReadBytes(std::size_t count) {
  while (input_.size() < count) {
    if (ReceiveChunk().empty()) throw EConnClosedGracefully();
  }
  std::string bytes = input_.substr(0, count);
  input_.erase(0, count);
  return bytes;
}

void TTCPConnection::Write(std::string_view bytes, bool more) {
  CheckOpen();
  const int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  while (!bytes.empty()) {
    const ssize_t n = ::send(socket_.Handle(), bytes.data(), bytes.size(), flags);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowSendError(errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void TTCPConnection::WriteStream(std::istream& stream, std::int64_t size) {
  std::string chunk(kSendChunk, '\0');
  while (size > 0) {
    stream.read(chunk.data(),
                static_cast<std::streamsize>(std::min<std::int64_t>(size, kSendChunk)));
    const auto got = stream.gcount();
    if (got <= 0) throw ENoDataToRead();
    Write(std::string_view(chunk.data(), static_cast<std::size_t>(got)));
    size -= got;
  }
}

std::int64_t TTCPConnection::WriteFile(int fd, std::int64_t size) {
  CheckOpen();
  off_t offset = 0;
  while (offset < size) {
    const auto want =
        static_cast<std::size_t>(std::min<std::int64_t>(size - offset, kSendFileChunk));
    const ssize_t n = ::sendfile(socket_.Handle(), fd, &offset, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowSendError(errno);
    }
    if (n == 0) break;  // the file shrank since its size was taken
  }
  return offset;
}

void TTCPConnection::Disconnect() {
  if (closed_) return;
  closed_ = true;
  ::shutdown(socket_.Handle(), SHUT_WR);
  if (!peer_closed_ && (!request_complete_ || InputPending())) Linger();
  socket_.PeerIP.clear();
  socket_.PeerPort = 0;
}

// Closing with unread input would reset the connection and could destroy the response before
// the client reads it. After a request read to its end with nothing more waiting, the close just
// queues a FIN behind the response, and the thread need not wait for the client to hang up; after
// a rejected request the rest of it may still be on its way, so that case always lingers.
bool TTCPConnection::InputPending() {
  char probe;
  const ssize_t n = ::recv(socket_.Handle(), &probe, 1, MSG_DONTWAIT | MSG_PEEK);
  if (n == 0) peer_closed_ = true;
  return n > 0;
}

void TTCPConnection::Linger() {
  const auto deadline = std::chrono::steady_clock::now() + timeouts_.Linger;
  char scratch[4096];
  std::size_t drained = 0;
  while (drained < kMaxLingerBytes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{socket_.Handle(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(socket_.Handle(), scratch, sizeof scratch, 0);
    if (n <= 0) break;
    drained += static_cast<std::size_t>(n);
  }
}

void TTCPConnection::Abort() {
  ::shutdown(socket_.Handle(), SHUT_RDWR);
}

}  // namespace orvelle::http
