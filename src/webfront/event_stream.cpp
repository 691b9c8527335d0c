// A viewer's stream: the held records (or those after Last-Event-ID), then each new one, with a
// keep-alive comment when quiet, until the viewer leaves, stalls or falls behind.
#include "event_stream.h"

#include <poll.h>
#include <sys/socket.h>

#include <charconv>
#include <exception>

#include "base/ascii_text.h"
#include "base/traffic_text.h"

namespace orvelle::webfront {
namespace {

// The length of the valid UTF-8 sequence at `at` beyond ASCII, or 0.
std::size_t Utf8Length(std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(at);
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || at + length > bytes.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  const unsigned char second = byte(at + 1);
  // Overlong forms, surrogates and code points past U+10FFFF are not text.
  if (lead == 0xE0 && second < 0xA0) return 0;
  if (lead == 0xED && second >= 0xA0) return 0;
  if (lead == 0xF0 && second < 0x90) return 0;
  if (lead == 0xF4 && second >= 0x90) return 0;
  // C1 controls (U+0080..U+009F) are escaped like the C0 ones.
  if (lead == 0xC2 && second < 0xA0) return 0;
  return length;
}

void AppendEscape(std::string& out, unsigned char byte) {
  out += "\\u00";
  out += base::HexPairs(std::string_view(reinterpret_cast<const char*>(&byte), 1), "");
}

bool PeerGone(http::TTCPConnection& connection) {
  pollfd p{connection.Binding().Handle(), POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

std::string MissedEvent() {
  return "event: ev\ndata: {\"seq\":0,\"t\":\"" +
         base::IsoTimeMicros(std::chrono::system_clock::now()) +
         "\",\"hex\":\"\",\"text\":\"records missed\",\"missed\":true}\n\n";
}

// Thrown when a viewer's position has left the ring while it was being served.
struct FellBehind : std::exception {
  const char* what() const noexcept override { return "fell behind the traffic ring"; }
};

// Thrown when the session the stream was opened under is no longer the live one.
struct SessionEnded : std::exception {
  const char* what() const noexcept override { return "its session ended"; }
};

}  // namespace

// Holds one viewer's seat for as long as it lives, unless the seats were full (in all, or for
// its address).
class ViewerSeat {
 public:
  ViewerSeat(EventStream& stream, std::string address)
      : stream_(stream), address_(std::move(address)) {
    std::lock_guard lock(stream_.seats_mutex_);
    std::size_t& mine = stream_.by_address_[address_];
    taken_ = stream_.viewers_ < kMaxViewers && mine < kMaxViewersPerAddress;
    if (taken_) {
      ++stream_.viewers_;
      ++mine;
    } else if (mine == 0) {
      stream_.by_address_.erase(address_);
    }
  }
  ~ViewerSeat() {
    if (!taken_) return;
    std::lock_guard lock(stream_.seats_mutex_);
    --stream_.viewers_;
    if (--stream_.by_address_[address_] == 0) stream_.by_address_.erase(address_);
  }
  ViewerSeat(const ViewerSeat&) = delete;
  ViewerSeat& operator=(const ViewerSeat&) = delete;
  bool Taken() const { return taken_; }

 private:
  EventStream& stream_;
  std::string address_;
  bool taken_ = false;
};

std::string JsonText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 8);
  for (std::size_t i = 0; i < bytes.size();) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    const bool plain = byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\' && byte != '<' &&
                       byte != '>' && byte != '&';
    if (plain) {
      out.push_back(static_cast<char>(byte));
      ++i;
    } else if (const std::size_t length = byte >= 0x80 ? Utf8Length(bytes, i) : 0; length > 0) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      AppendEscape(out, byte);
      ++i;
    }
  }
  return out;
}

std::string EventText(const base::TrafficRecord& record) {
  const std::string kind = base::AsciiLower(base::KindName(record.kind));
  const std::string seq = std::to_string(record.seq);
  return "id: " + seq + "\nevent: " + kind + "\ndata: {\"seq\":" + seq + ",\"t\":\"" +
         base::IsoTimeMicros(record.time) + "\",\"hex\":\"" + base::HexPairs(record.bytes, "") +
         "\",\"text\":\"" + JsonText(record.bytes) + "\"}\n\n";
}

std::optional<std::uint64_t> ParseEventId(std::string_view text) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

void EventStream::Serve(http::TPeerThread& thread, const http::THTTPRequestInfo& request,
                        http::THTTPResponseInfo& response, std::function<bool()> still_current) {
  response.ContentType = "text/plain";
  if (ring_ == nullptr) {
    response.StatusCode(404);
    response.ContentText = response.StatusText;
    return;
  }
  if (request.Command != "GET") {
    response.StatusCode(405);
    response.Headers.SetValue("Allow", "GET");
    response.ContentText = response.StatusText;
    return;
  }
  const ViewerSeat seat(*this, request.ClientIP);
  if (!seat.Taken()) {
    response.StatusCode(503);
    response.Headers.SetValue("Retry-After", std::to_string(kViewerRetryAfter.count()));
    response.ContentText = "Too many viewers of the live traffic; try again later.";
    return;
  }
  // Without an id: everything held. With one of ours: what came after it. Anything else gets
  // the whole ring, behind a note that records were missed.
  const std::string last = request.Headers.Value("Last-Event-ID");
  const std::optional<std::uint64_t> id = ParseEventId(last);
  const std::uint64_t from = last.empty() ? ring_->OldestSeq() : id ? *id + 1 : 0;

  http::TTCPConnection& connection = thread.Connection();
  const int send_buffer = kViewerSendBuffer;
  ::setsockopt(connection.Binding().Handle(), SOL_SOCKET, SO_SNDBUF, &send_buffer,
               sizeof send_buffer);
  connection.StreamFromNow(kViewerSendLimit);
  response.ContentType = "text/event-stream; charset=utf-8";
  response.Headers.SetValue("Cache-Control", "no-store");
  response.SendHeader();
  try {
    connection.Write("retry: 2000\n\n");
    Stream(thread, from, still_current);
  } catch (const std::exception& e) {
    context_.AddLog("Live traffic viewer " + request.ClientIP + " dropped: " + e.what());
  }
}

void EventStream::Stream(http::TPeerThread& thread, std::uint64_t from,
                         const std::function<bool()>& still_current) {
  http::TTCPConnection& connection = thread.Connection();
  auto last_write = std::chrono::steady_clock::now();
  bool replay = true;  // the first read may start before the ring; later ones must not
  while (!thread.StopRequested() && !PeerGone(connection)) {
    if (still_current && !still_current()) throw SessionEnded();
    base::TrafficRing::Batch batch = ring_->ReadFrom(from, kViewerCheck, thread.StopToken());
    std::string out;
    if (batch.missed) {
      if (!replay) throw FellBehind();
      out = MissedEvent();
    }
    replay = false;
    for (const base::TrafficRecord& record : batch.records) out += EventText(record);
    from = batch.next;
    const auto now = std::chrono::steady_clock::now();
    if (out.empty() && now - last_write >= kKeepAlive) out = ": keep-alive\n\n";
    if (out.empty()) continue;
    connection.Write(out);
    last_write = now;
  }
}

}  // namespace orvelle::webfront
