// The API's endpoints: the method and body checks every call shares, then one handler each.
#include "webfront/program_api.h"

#include <charconv>
#include <ctime>
#include <nlohmann/json.hpp>
#include <variant>

#include "base/ascii_text.h"
#include "webfront/api_document.h"
#include "webfront/api_request.h"

namespace orvelle::webfront {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kPrefix = "/.orvelle/";
// What a busy answer tells a client to wait before asking again, in seconds.
constexpr const char* kBusyRetrySeconds = "1";

void Reply(http::THTTPResponseInfo& response, int status, const Json& body) {
  response.StatusCode(status);
  response.ContentType = "application/json; charset=utf-8";
  response.Headers.SetValue("Cache-Control", "no-store");
  response.Headers.SetValue("X-Content-Type-Options", "nosniff");
  // Device bytes that are not UTF-8 become U+FFFD here; "hex" carries them exactly.
  response.ContentText = body.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void Fail(http::THTTPResponseInfo& response, const ApiError& error) {
  Reply(response, error.status, Json{{"error", error.code}, {"message", error.message}});
}

bool IsJsonType(std::string_view content_type) {
  const std::string_view media = content_type.substr(0, content_type.find(';'));
  return base::EqualsIgnoreCase(base::TrimBlanksAndControls(media), "application/json");
}

// The body alone: the request record holds it followed by "&" and the query string, if any, so
// its length must be known.
std::variant<std::string_view, ApiError> BodyOf(const http::THTTPRequestInfo& request) {
  const std::string length_text = request.Headers.Value("Content-Length");
  if (length_text.empty()) {
    if (request.ParamText.empty()) return std::string_view();
    return ApiError{411, "length-required", "Send the body with a Content-Length header."};
  }
  const std::string_view digits = base::TrimBlanksAndControls(length_text);
  std::size_t length = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
  if (error != std::errc() || end != digits.data() + digits.size() ||
      length > request.ParamText.size()) {
    return ApiError{400, "bad-request", "The Content-Length header does not match the body."};
  }
  if (length > kMaxApiBody) {
    return ApiError{413, "too-large", "The request body is larger than 64 KiB."};
  }
  const std::string_view body = std::string_view(request.ParamText).substr(0, length);
  if (!body.empty() && !IsJsonType(request.Headers.Value("Content-Type"))) {
    return ApiError{415, "unsupported-media-type",
                    "The request body must be sent as Content-Type: application/json."};
  }
  return body;
}

std::string IsoTime(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::int64_t Milliseconds(Clock::duration duration) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

// The line settings in the form an open request gives them.
Json SettingsJson(const PortFacts::Settings& settings) {
  Json stop = settings.stop == "1.5" ? Json(1.5) : Json(std::stoi(settings.stop));
  return Json{{"baud", settings.baud},
              {"data", std::stoi(settings.data)},
              {"parity", base::AsciiLower(settings.parity)},
              {"stop", std::move(stop)},
              {"flow", base::AsciiLower(settings.flow)}};
}

Json PortJson(const PortFacts& facts) {
  Json modem = nullptr;
  if (facts.modem) {
    modem = Json{{"cts", facts.modem->cts},
                 {"dsr", facts.modem->dsr},
                 {"rlsd", facts.modem->rlsd},
                 {"ring", facts.modem->ring}};
  }
  return Json{{"name", facts.name},
              {"device", facts.device},
              {"open", facts.open},
              {"waiting_for_device", facts.waiting_for_device},
              {"settings", facts.settings ? SettingsJson(*facts.settings) : Json(nullptr)},
              {"modem", std::move(modem)}};
}

const ApiError kPortClosed{409, "port-closed",
                           "The serial port is closed; open it first with POST /.orvelle/open."};
const ApiError kSendFailed{502, "send-failed",
                           "Writing to the serial port failed; the server's log says more."};

// The parsed call, or the error answered; a handler's first step.
template <typename Call>
const Call* Accepted(const Parsed<Call>& parsed, http::THTTPResponseInfo& response) {
  if (const ApiError* error = std::get_if<ApiError>(&parsed)) {
    Fail(response, *error);
    return nullptr;
  }
  return &std::get<Call>(parsed);
}

}  // namespace

ProgramApi::ProgramApi(ApiPort* port, ScriptSlot& slot, std::function<std::size_t()> viewers)
    : port_(port), slot_(slot), viewers_(std::move(viewers)) {}

bool ProgramApi::Answer(http::TPeerThread& thread, std::string_view path,
                        const http::THTTPRequestInfo& request, http::THTTPResponseInfo& response) {
  if (port_ == nullptr || !path.starts_with(kPrefix)) return false;
  const std::string_view name = path.substr(kPrefix.size());
  const bool document = name == "openapi.json";
  const bool read_only = document || name == "status";
  if (!read_only && name != "open" && name != "close" && name != "send" && name != "query") {
    return false;
  }
  const bool get = request.Command == "GET" || request.Command == "HEAD";
  if (get != read_only || (!get && request.Command != "POST")) {
    response.Headers.SetValue("Allow", read_only ? "GET, HEAD" : "POST");
    Fail(response, {405, "method-not-allowed",
                    std::string("Use ") + (read_only ? "GET" : "POST") + " for this endpoint."});
    return true;
  }
  if (document) {
    response.ContentType = "application/json; charset=utf-8";
    response.ContentText = std::string(kApiDocument);
    return true;
  }
  if (read_only) {
    Status(response);
    return true;
  }
  const auto body = BodyOf(request);
  if (const ApiError* error = std::get_if<ApiError>(&body)) {
    Fail(response, *error);
    return true;
  }
  const std::string_view text = std::get<std::string_view>(body);
  const std::stop_token stop = thread.StopToken();
  if (name == "open") Open(text, stop, response);
  if (name == "close") Close(text, stop, response);
  if (name == "send") Send(text, stop, response);
  if (name == "query") Query(text, stop, response);
  return true;
}

void ProgramApi::Status(http::THTTPResponseInfo& response) {
  Json script = nullptr;
  if (const auto holder = slot_.Current()) {
    script = Json{{"page", holder->path},
                  {"since", IsoTime(holder->since)},
                  {"running_ms",
                   std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::system_clock::now() - holder->since)
                                                 .count())}};
  }
  const PortFacts facts = port_->Facts();
  const Json status{{"version", ORVELLE_VERSION},
                    {"port", PortJson(facts)},
                    {"script", std::move(script)},
                    {"received_bytes", facts.received},
                    {"sent_bytes", facts.sent},
                    {"viewers", viewers_ ? viewers_() : 0},
                    {"uptime_s", Milliseconds(Clock::now() - started_) / 1000}};
  Reply(response, 200, status);
}

std::optional<ScriptSlot::Claim> ProgramApi::Claim(std::string_view endpoint,
                                                   std::chrono::milliseconds wait,
                                                   const std::stop_token& stop,
                                                   http::THTTPResponseInfo& response) {
  const std::string label = std::string(kPrefix) + std::string(endpoint);
  std::string holder;
  std::optional<ScriptSlot::Claim> claim = wait.count() > 0
                                               ? slot_.ClaimWithin(label, holder, wait, stop)
                                               : slot_.TryClaim(label, holder);
  if (!claim) {
    response.Headers.SetValue("Retry-After", kBusyRetrySeconds);
    Fail(response, {409, "busy",
                    "Another script is running (" + holder +
                        "); ask again later, or give \"wait_ms\" to wait for it."});
  }
  return claim;
}

void ProgramApi::Open(std::string_view body, const std::stop_token& stop,
                      http::THTTPResponseInfo& response) {
  const Parsed<OpenCall> parsed = ParseOpenCall(body);
  const OpenCall* call = Accepted(parsed, response);
  if (call == nullptr) return;
  script::SerialAccess::OpenRequest settings = call->settings;
  // Upper-cased as openport does, so a name means the same device to a page and a program.
  settings.written = call->port.value_or(port_->DefaultPort());
  settings.port = base::AsciiUpper(settings.written);
  if (settings.port.empty()) {
    Fail(response,
         {400, "bad-argument", "\"port\" is required: the device's path, such as /dev/ttyUSB0."});
    return;
  }
  const auto claim = Claim("open", call->wait, stop, response);
  if (!claim) return;
  const std::string reason = port_->Open(settings);
  if (!reason.empty()) {
    Fail(response, {502, "open-failed", "Cannot open " + settings.written + ": " + reason});
    return;
  }
  Reply(response, 200, PortJson(port_->Facts()));
}

void ProgramApi::Close(std::string_view body, const std::stop_token& stop,
                       http::THTTPResponseInfo& response) {
  const Parsed<CloseCall> parsed = ParseCloseCall(body);
  const CloseCall* call = Accepted(parsed, response);
  if (call == nullptr) return;
  const auto claim = Claim("close", call->wait, stop, response);
  if (!claim) return;
  if (!port_->Close()) {
    Fail(response, {502, "close-failed", "The device refused to close; the port stays open."});
    return;
  }
  Reply(response, 200, PortJson(port_->Facts()));
}

void ProgramApi::Send(std::string_view body, const std::stop_token& stop,
                      http::THTTPResponseInfo& response) {
  const Parsed<SendCall> parsed = ParseSendCall(body);
  const SendCall* call = Accepted(parsed, response);
  if (call == nullptr) return;
  const auto claim = Claim("send", call->wait, stop, response);
  if (!claim) return;
  std::size_t written = 0;
  switch (port_->Send(call->bytes, written)) {
    case ApiPort::QueryOutcome::kClosed:
      return Fail(response, kPortClosed);
    case ApiPort::QueryOutcome::kSendFailed:
      return Fail(response, kSendFailed);
    case ApiPort::QueryOutcome::kDone:
      break;
  }
  Reply(response, 200, Json{{"sent", written}});
}

void ProgramApi::Query(std::string_view body, const std::stop_token& stop,
                       http::THTTPResponseInfo& response) {
  const Parsed<QueryCall> parsed = ParseQueryCall(body);
  const QueryCall* call = Accepted(parsed, response);
  if (call == nullptr) return;
  const auto claim = Claim("query", call->wait, stop, response);
  if (!claim) return;
  // The abort page and the server's stop both end the wait, with what arrived so far.
  std::stop_source ended;
  const std::stop_callback on_abort(claim->StopToken(), [&ended] { ended.request_stop(); });
  const std::stop_callback on_stop(stop, [&ended] { ended.request_stop(); });
  script::SerialAccess::QueryReply reply;
  switch (port_->Query(call->query, ended.get_token(), reply)) {
    case ApiPort::QueryOutcome::kClosed:
      return Fail(response, kPortClosed);
    case ApiPort::QueryOutcome::kSendFailed:
      return Fail(response, kSendFailed);
    case ApiPort::QueryOutcome::kDone:
      break;
  }
  const double elapsed_ms =
      std::chrono::duration_cast<std::chrono::microseconds>(reply.elapsed).count() / 1000.0;
  Reply(response, 200,
        Json{{"reply", reply.bytes},
             {"hex", HexBytes(reply.bytes)},
             {"elapsed_ms", elapsed_ms},
             {"complete", reply.complete},
             {"sent", reply.sent}});
}

}  // namespace orvelle::webfront
