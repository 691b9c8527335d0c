// GET /.orvelle/events: the traffic ring as a Server-Sent Events stream for read-only viewers.
// Each viewer reads the ring at its own pace on its own connection thread, so the port and the
// other viewers never wait for it; one that falls behind the ring or stops taking bytes is
// dropped, and its browser reconnects with Last-Event-ID.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/traffic_ring.h"
#include "dispatcher_context.h"
#include "http/peer_thread.h"
#include "http/request_info.h"
#include "http/response_info.h"

namespace orvelle::webfront {

inline constexpr std::string_view kEventStreamPath = "/.orvelle/events";

// Each viewer holds a worker thread; the pool must stay free for pages.
inline constexpr std::size_t kMaxViewers = 32;
// Seats one client address may hold, so one client cannot take them all.
inline constexpr std::size_t kMaxViewersPerAddress = 8;
// What a turned-away viewer is told to wait before trying again.
inline constexpr std::chrono::seconds kViewerRetryAfter{10};
// A comment this often keeps proxies and browsers from closing a quiet stream.
inline constexpr std::chrono::seconds kKeepAlive{15};
// A viewer whose socket takes nothing for this long is dropped.
inline constexpr std::chrono::milliseconds kViewerSendLimit{5'000};
// The kernel's send queue per viewer; with the reader's window it bounds what waits for it.
inline constexpr int kViewerSendBuffer = 32 * 1024;
// A quiet stream looks this often whether its viewer has gone or the server stops.
inline constexpr std::chrono::milliseconds kViewerCheck{1'000};

// The record's bytes as the body of a JSON string: printable ASCII as it is, valid UTF-8 beyond
// ASCII as it is, every other byte as \u00XX (so the text is always valid UTF-8), and the
// characters that matter to JSON or HTML escaped.
std::string JsonText(std::string_view bytes);
// One SSE event: id, type (rx, tx, ev, log) and the JSON data line.
std::string EventText(const base::TrafficRecord& record);
// A Last-Event-ID we could have sent: decimal digits only, no overflow.
std::optional<std::uint64_t> ParseEventId(std::string_view text);

class EventStream {
 public:
  EventStream(base::TrafficRing* ring, DispatcherContext& context)
      : ring_(ring), context_(context) {}

  // `still_current`, when set, is asked as the stream goes on; once it says false (the
  // session the stream was opened under has ended) the stream ends.
  void Serve(http::TPeerThread& thread, const http::THTTPRequestInfo& request,
             http::THTTPResponseInfo& response, std::function<bool()> still_current = {});
  // Viewers watching now.
  std::size_t Viewers() {
    std::lock_guard hold(seats_mutex_);
    return viewers_;
  }

 private:
  friend class ViewerSeat;

  void Stream(http::TPeerThread& thread, std::uint64_t from,
              const std::function<bool()>& still_current);

  base::TrafficRing* ring_;  // null: the program records no traffic
  DispatcherContext& context_;
  std::mutex seats_mutex_;
  std::size_t viewers_ = 0;                                  // seats taken
  std::unordered_map<std::string, std::size_t> by_address_;  // seats taken per client address
};

}  // namespace orvelle::webfront
