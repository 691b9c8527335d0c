// The programs' JSON API, its requests: a body's text in, the call's arguments or the error to
// answer with out. Pure functions; nothing here touches the port.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "script/host.h"

namespace orvelle::webfront {

// A request body is at most this: the longest command a lab instrument takes is far shorter,
// and the body is held in memory while the call waits.
inline constexpr std::size_t kMaxApiBody = 64 * 1024;
// A call waits for the script slot, and a query for its reply, at most this long: a client that
// wants longer asks again, and the server's stop never waits on one for longer.
inline constexpr std::chrono::milliseconds kMaxApiWait{60'000};

// {"error": code, "message": sentence}, with its status.
struct ApiError {
  int status = 400;
  std::string code;
  std::string message;
};

// What every call that takes the port may carry: how long to wait for the script slot.
struct PortCall {
  std::chrono::milliseconds wait{0};
};

struct OpenCall : PortCall {
  std::optional<std::string> port;             // none: the server's default port, if it has one
  script::SerialAccess::OpenRequest settings;  // port left empty; the texts openport takes
};
struct CloseCall : PortCall {};
struct SendCall : PortCall {
  std::string bytes;  // the text or hex, with its line end
};
struct QueryCall : PortCall {
  script::SerialAccess::QueryRequest query;
};

template <typename Call>
using Parsed = std::variant<Call, ApiError>;

// Each takes the body's text (empty: no body, every field its default).
Parsed<OpenCall> ParseOpenCall(std::string_view body);
Parsed<CloseCall> ParseCloseCall(std::string_view body);
Parsed<SendCall> ParseSendCall(std::string_view body);
Parsed<QueryCall> ParseQueryCall(std::string_view body);

// "2A 49 44" and "2a4944" alike; nothing when a digit is not hex or one is left over.
std::optional<std::string> ParseHexBytes(std::string_view text);
// Upper-case pairs separated by blanks, the form ParseHexBytes reads.
std::string HexBytes(std::string_view bytes);

}  // namespace orvelle::webfront
