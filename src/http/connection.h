// TTCPConnection: buffered reading and writing over one accepted socket, with time bounds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <string_view>

#include "http/socket_handle.h"

namespace orvelle::http {

class TTlsStream;
enum class TTlsWait;

// One receive call asks for at most this much; also the chunk size for stream bodies.
inline constexpr std::size_t kReceiveChunk = 32768;
inline constexpr std::size_t kSendChunk = 32768;
// A header sent with `more` is held back up to this size, to leave together with its body.
inline constexpr std::size_t kHoldLimit = 16384;
// A reader that sends nothing for this long is dropped; slow clients must not pin threads.
inline constexpr std::chrono::milliseconds kReadIdleTimeout{30'000};
// A request's line and headers must be in this long after the accept: a client trickling them
// byte by byte, each read quick, would otherwise hold its slot for ever.
inline constexpr std::chrono::milliseconds kHeadTimeout{10'000};
// A body may take this long to get going before its rate is held against it (a client's first
// round trips, a slow start).
inline constexpr std::chrono::milliseconds kBodyGrace{1'000};
// ... and from then on must arrive at this many bytes per second at least, on average since it
// started; slower uploads hold a slot for minutes with a few bytes.
inline constexpr std::size_t kMinBodyRate = 1024;
// A reader that accepts no bytes for this long is dropped, for the same reason.
inline constexpr std::chrono::milliseconds kWriteStallTimeout{60'000};
// After the response, how long unread request bytes are drained so the close does not turn
// into a reset that destroys the response in flight.
inline constexpr std::chrono::milliseconds kLingerTime{1'000};
// ... and how many bytes such a drain reads at most.
inline constexpr std::size_t kMaxLingerBytes = 1024 * 1024;

struct TConnectionTimeouts {
  std::chrono::milliseconds ReadIdle = kReadIdleTimeout;
  std::chrono::milliseconds WriteStall = kWriteStallTimeout;
  std::chrono::milliseconds Linger = kLingerTime;
  std::chrono::milliseconds Head = kHeadTimeout;
  std::chrono::milliseconds BodyGrace = kBodyGrace;
  std::size_t MinBodyRate = kMinBodyRate;  // bytes per second
};

class TTCPConnection {
 public:
  using TClock = std::chrono::steady_clock;

  // A socket accepted on a TLS binding speaks TLS: the handshake is made by the first read,
  // under that read's deadlines, and every read and write goes through the session.
  TTCPConnection(TSocketHandle socket, TConnectionTimeouts timeouts);
  ~TTCPConnection();
  TTCPConnection(const TTCPConnection&) = delete;
  TTCPConnection& operator=(const TTCPConnection&) = delete;

  TSocketHandle& Binding() { return socket_; }
  const TSocketHandle& Binding() const { return socket_; }
  bool Connected() const { return !closed_; }
  bool Secure() const { return tls_ != nullptr; }

  // Receives up to kReceiveChunk bytes into the input buffer and returns them; empty when the
  // peer has closed. Throws EReadTimeout after the idle time without data.
  std::string_view ReceiveChunk();
  // From now on a read that would wait past `deadline` throws EReadTimeout instead; the idle
  // bound still applies. TClock::time_point::max() lifts it.
  void ReadDeadline(TClock::time_point deadline) { read_deadline_ = deadline; }
  TClock::time_point AcceptedAt() const { return accepted_at_; }
  const TConnectionTimeouts& Timeouts() const { return timeouts_; }
  // The request's line and headers are in; its body may still be due, and until it is in the
  // connection can still be evicted. False when it was evicted first; it is then closed and
  // must not be answered.
  bool CompleteHead();
  // The whole request is in: the connection can no longer be evicted. False when it was evicted
  // first, as for CompleteHead.
  bool CompleteRequest();
  // Gives the slot of a connection whose request is not in yet to a newcomer: wakes its reads,
  // which find the connection closed. False when the request is in (or it was evicted). Safe to
  // call from another thread.
  bool Evict();
  // Whether Evict may still succeed, and whether the head is still missing; only hints, as the
  // owner may move on meanwhile.
  bool RequestPending() const {
    const TStage stage = stage_.load(std::memory_order_relaxed);
    return stage == TStage::kHead || stage == TStage::kBody;
  }
  bool HeadPending() const { return stage_.load(std::memory_order_relaxed) == TStage::kHead; }
  // Drops the bytes received so far, once a caller has consumed what ReceiveChunk returned.
  void DiscardInput() { input_.clear(); }
  // A line up to LF (one CR before it removed); throws EConnClosedGracefully when the peer
  // closes first and ESocketError "Message too long." for a line over `max_length`.
  std::string ReadLn(std::size_t max_length);
  // Exactly `count` bytes; throws EConnClosedGracefully when the peer closes first.
  std::string ReadBytes(std::size_t count);

  // Sends all bytes; with `more` they may be held back (here, up to kHoldLimit, or by the
  // kernel) to leave with the next write. After HoldUntilClose, every write may be held so.
  void Write(std::string_view bytes, bool more = false);
  void WriteLn(std::string_view text) { Write(std::string(text) + "\r\n"); }
  // Sends `size` bytes of `stream` from its current position in kSendChunk pieces.
  void WriteStream(std::istream& stream, std::int64_t size);
  // Sends `size` bytes of the open file `fd` from offset 0 without copying them through memory.
  std::int64_t WriteFile(int fd, std::int64_t size);

  // Ends the conversation: shuts the sending side, drains unread input for a bounded time
  // (unless the request was read to its end and nothing more is waiting).
  void Disconnect();
  // The request was read to its end: the close need not wait for the client.
  void MarkRequestComplete() { request_complete_ = true; }
  // Nothing but the close follows what is written from now on. The end of the response is
  // kept back until Disconnect, so its last bytes and the FIN leave in one segment: the client
  // wakes once and reads the response and its end together. A handler that keeps working after
  // sending its response therefore delivers it when it returns.
  void HoldUntilClose() { hold_until_close_ = true; }
  // A response that goes on until the close (an event stream): from now on every write leaves
  // at once, and a reader that takes nothing for `stall` is dropped.
  void StreamFromNow(std::chrono::milliseconds stall) {
    hold_until_close_ = false;
    timeouts_.WriteStall = stall;
  }
  // Wakes a thread blocked on this socket; safe to call from another thread.
  void Abort();
  // Called once, before this connection first waits for its client (to send more, or to take
  // more); the worker pool uses it to let another worker take new connections meanwhile.
  void OnFirstWait(std::function<void()> hook) { first_wait_ = std::move(hook); }

 private:
  enum class TStage : std::uint8_t { kHead, kBody, kComplete, kEvicted };

  void NoteWait();
  std::chrono::milliseconds ReadWait() const;
  bool WaitReady(short events, std::chrono::milliseconds timeout);
  void WaitWritable();
  std::size_t ReceivePlain(char* buffer, std::size_t size);
  std::size_t ReceiveTls(char* buffer, std::size_t size);
  void Handshake();
  bool WaitFor(TTlsWait wait, std::chrono::milliseconds timeout);
  void SendAll(std::string_view first, std::string_view second, bool more);
  void SendTls(std::string_view first, std::string_view second);
  void SendTlsBytes(std::string_view bytes);
  std::int64_t WriteFileTls(int fd, std::int64_t size);
  void Cork();
  void FlushHeld(bool more);
  bool InputPending();
  void Linger();
  void CheckOpen() const;

  TSocketHandle socket_;
  std::unique_ptr<TTlsStream> tls_;  // set when the socket speaks TLS
  TConnectionTimeouts timeouts_;
  const TClock::time_point accepted_at_ = TClock::now();
  TClock::time_point read_deadline_ = TClock::time_point::max();
  std::atomic<TStage> stage_{TStage::kHead};  // written by the worker and by an evicting acceptor
  std::string input_;                         // received and not yet consumed
  std::string held_;                          // written with `more`, not yet sent
  bool closed_ = false;
  bool request_complete_ = false;  // the whole request was read; see InputPending
  bool hold_until_close_ = false;  // see HoldUntilClose
  std::function<void()> first_wait_;
  bool peer_closed_ = false;
};

}  // namespace orvelle::http
