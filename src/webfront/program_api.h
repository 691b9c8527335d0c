// The programs' JSON API under /.orvelle/: status, open, close, send, query and the document that
// describes them. It sits behind the dispatcher's gates like every request; each call that
// touches the port holds the script slot for its duration, exactly as a script page does.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "http/peer_thread.h"
#include "http/request_info.h"
#include "http/response_info.h"
#include "webfront/api_port.h"
#include "webfront/script_slot.h"

namespace orvelle::webfront {

class ProgramApi {
 public:
  // `port` may be null: then there is no API (its paths answer 404 as any unknown endpoint).
  // `viewers` counts the live console's watchers.
  ProgramApi(ApiPort* port, ScriptSlot& slot, std::function<std::size_t()> viewers);

  // Fills the response and returns true when `path` (below the web folder) is one of its
  // endpoints; false leaves the response alone.
  bool Answer(http::TPeerThread& thread, std::string_view path,
              const http::THTTPRequestInfo& request, http::THTTPResponseInfo& response);

 private:
  void Status(http::THTTPResponseInfo& response);
  void Open(std::string_view body, const std::stop_token& stop, http::THTTPResponseInfo& response);
  void Close(std::string_view body, const std::stop_token& stop, http::THTTPResponseInfo& response);
  void Send(std::string_view body, const std::stop_token& stop, http::THTTPResponseInfo& response);
  void Query(std::string_view body, const std::stop_token& stop, http::THTTPResponseInfo& response);
  // Claims the slot for a call, or answers 409; the claim, or nothing when answered.
  std::optional<ScriptSlot::Claim> Claim(std::string_view endpoint, std::chrono::milliseconds wait,
                                         const std::stop_token& stop,
                                         http::THTTPResponseInfo& response);

  ApiPort* port_;
  ScriptSlot& slot_;
  std::function<std::size_t()> viewers_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace orvelle::webfront
