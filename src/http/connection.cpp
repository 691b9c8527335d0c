// Socket reads with an idle bound, full writes, zero-copy file sending and the lingering close.
#include "http/connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

#include "http/exceptions.h"
#include "http/socket_errors.h"
#include "http/tls_context.h"
#include "http/tls_stream.h"

namespace orvelle::http {
namespace {

// A sendfile call moves at most this much, so a stop request is noticed between calls.
constexpr std::size_t kSendFileChunk = 1024 * 1024;

[[noreturn]] void ThrowSendError(int error) {
  throw ESocketError(SocketErrorNumber(error));
}

}  // namespace

// The socket is non-blocking (accepted so): a full send buffer is waited out with poll, which
// bounds the stall without a socket option call per connection.
TTCPConnection::TTCPConnection(TSocketHandle socket, TConnectionTimeouts timeouts)
    : socket_(std::move(socket)), timeouts_(timeouts) {
  if (socket_.Tls) tls_ = std::make_unique<TTlsStream>(*socket_.Tls, socket_.Handle());
}

TTCPConnection::~TTCPConnection() = default;

void TTCPConnection::CheckOpen() const {
  if (closed_) throw EClosedSocket();
}

void TTCPConnection::NoteWait() {
  if (!first_wait_) return;
  const std::function<void()> hook = std::move(first_wait_);
  first_wait_ = nullptr;
  hook();
}

bool TTCPConnection::WaitReady(short events, std::chrono::milliseconds timeout) {
  NoteWait();
  pollfd p{socket_.Handle(), events, 0};
  for (;;) {
    const int n = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (n >= 0) return n > 0;
    if (errno != EINTR) ThrowSocketError(errno);
  }
}

// The clock is read only when a read has to wait, so a request that is there at once costs none.
std::chrono::milliseconds TTCPConnection::ReadWait() const {
  if (read_deadline_ == TClock::time_point::max()) return timeouts_.ReadIdle;
  // Rounded up: a wait that ends early would find the deadline not yet passed.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(read_deadline_ - TClock::now());
  if (left.count() <= 0) throw EReadTimeout();
  return std::min(left, timeouts_.ReadIdle);
}

bool TTCPConnection::CompleteHead() {
  TStage expected = TStage::kHead;
  return stage_.compare_exchange_strong(expected, TStage::kBody, std::memory_order_acq_rel) ||
         expected == TStage::kBody || expected == TStage::kComplete;
}

bool TTCPConnection::CompleteRequest() {
  TStage expected = stage_.load(std::memory_order_acquire);
  while (expected == TStage::kHead || expected == TStage::kBody) {
    if (stage_.compare_exchange_weak(expected, TStage::kComplete, std::memory_order_acq_rel))
      return true;
  }
  return expected == TStage::kComplete;
}

bool TTCPConnection::Evict() {
  TStage expected = stage_.load(std::memory_order_acquire);
  while (expected == TStage::kHead || expected == TStage::kBody) {
    if (stage_.compare_exchange_weak(expected, TStage::kEvicted, std::memory_order_acq_rel)) {
      Abort();
      return true;
    }
  }
  return false;
}

std::string_view TTCPConnection::ReceiveChunk() {
  CheckOpen();
  if (peer_closed_) return {};
  // Into a scratch buffer, not a zero-filled tail of input_: most reads are a few hundred bytes.
  char chunk[kReceiveChunk];
  const std::size_t n = tls_ ? ReceiveTls(chunk, sizeof chunk) : ReceivePlain(chunk, sizeof chunk);
  if (n == 0) peer_closed_ = true;
  const std::size_t old_size = input_.size();
  input_.append(chunk, n);
  return std::string_view(input_).substr(old_size);
}

std::size_t TTCPConnection::ReceivePlain(char* buffer, std::size_t size) {
  // The request is usually there already; wait only when it is not.
  ssize_t n = ::recv(socket_.Handle(), buffer, size, MSG_DONTWAIT);
  while (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    if (errno != EINTR && !WaitReady(POLLIN, ReadWait())) throw EReadTimeout();
    n = ::recv(socket_.Handle(), buffer, size, MSG_DONTWAIT);
  }
  if (n < 0) ThrowSocketError(errno);
  return static_cast<std::size_t>(n);
}

std::size_t TTCPConnection::ReceiveTls(char* buffer, std::size_t size) {
  Handshake();
  for (;;) {
    const TTlsStep step = tls_->Read(buffer, size);
    if (step.wait == TTlsWait::kNone) return step.closed ? 0 : step.bytes;
    if (!WaitFor(step.wait, ReadWait())) throw EReadTimeout();
  }
}

// Bound like the request it precedes: a client that stalls or trickles its handshake meets
// the head deadline, and an evicted one wakes to a shut socket.
void TTCPConnection::Handshake() {
  for (TTlsWait wait = tls_->Handshake(); wait != TTlsWait::kNone; wait = tls_->Handshake()) {
    if (!WaitFor(wait, ReadWait())) throw EReadTimeout();
  }
}

bool TTCPConnection::WaitFor(TTlsWait wait, std::chrono::milliseconds timeout) {
  return WaitReady(wait == TTlsWait::kWritable ? POLLOUT : POLLIN, timeout);
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
  // A header announcing a small body waits here for it, so both leave in one call and one
  // segment; the next write, a file send or the close takes it along.
  more = more || hold_until_close_;
  if (more && held_.size() + bytes.size() <= kHoldLimit) {
    held_.append(bytes);
    return;
  }
  SendAll(held_, bytes, more);
  held_.clear();
}

// Sends `first` then `second` completely, in one call while the socket takes everything.
void TTCPConnection::SendAll(std::string_view first, std::string_view second, bool more) {
  if (tls_) return SendTls(first, second);
  const int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  while (!first.empty() || !second.empty()) {
    iovec parts[2];
    msghdr message{};
    message.msg_iov = parts;
    for (const std::string_view part : {first, second}) {
      if (part.empty()) continue;
      parts[message.msg_iovlen].iov_base = const_cast<char*>(part.data());
      parts[message.msg_iovlen].iov_len = part.size();
      ++message.msg_iovlen;
    }
    const ssize_t n = ::sendmsg(socket_.Handle(), &message, flags);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) ThrowSendError(errno);
      WaitWritable();
      continue;
    }
    auto sent = static_cast<std::size_t>(n);
    const std::size_t from_first = std::min(sent, first.size());
    first.remove_prefix(from_first);
    second.remove_prefix(sent - from_first);
  }
}

// A header and the start of its body go in one write, so they share a record and a segment.
void TTCPConnection::SendTls(std::string_view first, std::string_view second) {
  if (!first.empty() && !second.empty() &&
      first.size() + second.size() <= kHoldLimit + kSendChunk) {
    std::string joined;
    joined.reserve(first.size() + second.size());
    joined.append(first).append(second);
    SendTlsBytes(joined);
    return;
  }
  SendTlsBytes(first);
  SendTlsBytes(second);
}

void TTCPConnection::SendTlsBytes(std::string_view bytes) {
  while (!bytes.empty()) {
    const TTlsStep step = tls_->Write(bytes.data(), bytes.size());
    if (step.wait == TTlsWait::kNone) {
      bytes.remove_prefix(step.bytes);
    } else if (!WaitFor(step.wait, timeouts_.WriteStall)) {
      throw ESocketError(kErrorTimedOut);
    }
  }
}

void TTCPConnection::FlushHeld(bool more) {
  if (held_.empty()) return;
  const std::string held = std::move(held_);
  held_.clear();
  SendAll(held, {}, more);
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

// The reader took no bytes for the stall time: it is dropped.
void TTCPConnection::WaitWritable() {
  if (!WaitReady(POLLOUT, timeouts_.WriteStall)) throw ESocketError(kErrorTimedOut);
}

std::int64_t TTCPConnection::WriteFile(int fd, std::int64_t size) {
  CheckOpen();
  if (tls_) return WriteFileTls(fd, size);
  FlushHeld(size > 0 || hold_until_close_);
  off_t offset = 0;
  while (offset < size) {
    const auto want =
        static_cast<std::size_t>(std::min<std::int64_t>(size - offset, kSendFileChunk));
    const ssize_t n = ::sendfile(socket_.Handle(), fd, &offset, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) ThrowSendError(errno);
      WaitWritable();
      continue;
    }
    if (n == 0) break;  // the file shrank since its size was taken
  }
  return offset;
}

// With kernel TLS the file goes out by sendfile as without TLS; otherwise it is read and
// encrypted piece by piece, the held header riding along with the first piece.
std::int64_t TTCPConnection::WriteFileTls(int fd, std::int64_t size) {
  off_t offset = 0;
  if (tls_->KernelSend()) {
    FlushHeld(false);
    while (offset < size) {
      const auto want =
          static_cast<std::size_t>(std::min<std::int64_t>(size - offset, kSendFileChunk));
      const TTlsStep step = tls_->SendFile(fd, offset, want);
      if (step.wait != TTlsWait::kNone) {
        if (!WaitFor(step.wait, timeouts_.WriteStall)) throw ESocketError(kErrorTimedOut);
        continue;
      }
      if (step.bytes == 0) break;  // the file shrank since its size was taken
      offset += static_cast<off_t>(step.bytes);
    }
    return offset;
  }
  std::string chunk(kSendChunk, '\0');
  while (offset < size) {
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(size - offset, kSendChunk));
    const ssize_t n = ::pread(fd, chunk.data(), want, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowSendError(errno);
    if (n == 0) break;
    const std::string held = std::move(held_);
    held_.clear();
    SendTls(held, std::string_view(chunk.data(), static_cast<std::size_t>(n)));
    offset += n;
  }
  return offset;
}

// Holds back what is written until the close, as MSG_MORE does without TLS: the response's
// last record, the close_notify and the FIN leave together.
void TTCPConnection::Cork() {
  const int one = 1;
  ::setsockopt(socket_.Handle(), IPPROTO_TCP, TCP_CORK, &one, sizeof one);
}

void TTCPConnection::Disconnect() {
  if (closed_) return;
  try {
    if (tls_ && hold_until_close_) Cork();
    // A header whose body never came (HEAD, or the handler failed), or the end of a response
    // kept for the close: with "more" it waits for the FIN, which the shutdown below or the
    // socket's close (the connection is freed as soon as its thread returns) tacks onto it.
    FlushHeld(hold_until_close_);
  } catch (const std::exception&) {
    // The client is gone; nothing is left to tell it.
  }
  closed_ = true;
  if (tls_) tls_->Close();
  // Without unread input the close itself sends the FIN behind the response; only a drain
  // needs the sending side shut first, so the client sees the end while it is drained.
  if (!peer_closed_ && (!request_complete_ || InputPending())) {
    ::shutdown(socket_.Handle(), SHUT_WR);
    Linger();
  }
  socket_.PeerIP.clear();
  socket_.PeerPort = 0;
}

// Closing with unread input would reset the connection and could destroy the response before
// the client reads it. After a request read to its end with nothing more waiting, the close just
// queues a FIN behind the response, and the thread need not wait for the client to hang up; after
// a rejected request the rest of it may still be on its way, so that case always lingers.
bool TTCPConnection::InputPending() {
  if (tls_ && tls_->Pending()) return true;
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
    NoteWait();
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
