// Reading the API's request bodies with a JSON library; each field checked for its type and range,
// and a field the call does not know refused, so a misspelt name never passes unnoticed.
#include "webfront/api_request.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>

#include "base/ascii_text.h"
#include "serial/serial_settings.h"

namespace orvelle::webfront {
namespace {

using Json = nlohmann::json;

// A query's reply is cut here whatever max_bytes asks (the port access cuts there too).
constexpr std::int64_t kMaxReplyBytes = 1 << 20;

// Thrown inside a parse and answered as its value at the parse's edge.
struct Refusal {
  ApiError error;
};

[[noreturn]] void Refuse(std::string message) {
  throw Refusal{{400, "bad-argument", std::move(message)}};
}

Json ParseObject(std::string_view body, std::initializer_list<std::string_view> known) {
  if (body.empty()) return Json::object();
  Json value = Json::parse(body, nullptr, false);
  if (value.is_discarded()) {
    throw Refusal{{400, "bad-json", "The request body is not valid JSON."}};
  }
  if (!value.is_object()) Refuse("The request body must be a JSON object.");
  for (const auto& item : value.items()) {
    if (std::find(known.begin(), known.end(), item.key()) == known.end()) {
      throw Refusal{{400, "unknown-field",
                     "The field \"" + item.key().substr(0, 64) + "\" is not one this call takes."}};
    }
  }
  return value;
}

std::optional<std::string> Text(const Json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end()) return std::nullopt;
  if (!found->is_string()) Refuse(std::string("\"") + name + "\" must be a string.");
  return found->get<std::string>();
}

std::optional<std::int64_t> Integer(const Json& object, const char* name, std::int64_t low,
                                    std::int64_t high) {
  const auto found = object.find(name);
  if (found == object.end()) return std::nullopt;
  if (!found->is_number_integer() || found->get<std::int64_t>() < low ||
      found->get<std::int64_t>() > high) {
    Refuse(std::string("\"") + name + "\" must be a whole number from " + std::to_string(low) +
           " to " + std::to_string(high) + ".");
  }
  return found->get<std::int64_t>();
}

std::optional<bool> Flag(const Json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end()) return std::nullopt;
  if (!found->is_boolean()) Refuse(std::string("\"") + name + "\" must be true or false.");
  return found->get<bool>();
}

// One of `choices`, compared without regard to case; the default when absent.
std::string Choice(const Json& object, const char* name, std::initializer_list<const char*> choices,
                   std::string fallback) {
  const std::optional<std::string> text = Text(object, name);
  if (!text) return fallback;
  for (const char* choice : choices) {
    if (base::EqualsIgnoreCase(*text, choice)) return choice;
  }
  std::string list;
  for (const char* choice : choices) list += std::string(list.empty() ? "" : ", ") + choice;
  Refuse(std::string("\"") + name + "\" must be one of " + list + ".");
}

std::chrono::milliseconds WaitField(const Json& object, const char* name,
                                    std::chrono::milliseconds fallback) {
  const auto ms = Integer(object, name, 0, kMaxApiWait.count());
  return ms ? std::chrono::milliseconds(*ms) : fallback;
}

PortCall PortCallOf(const Json& object) {
  return PortCall{WaitField(object, "wait_ms", std::chrono::milliseconds(0))};
}

// The rates openport knows; others would quietly become 9600 there.
std::string BaudField(const Json& object) {
  const auto baud = Integer(object, "baud", 1, 4'000'000);
  if (!baud) return "9600";
  const std::string text = std::to_string(*baud);
  if (serial::BaudRateText(serial::ParseBaudRate(text)) != text) {
    Refuse(
        "\"baud\" must be 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, "
        "57600, 115200, 128000 or 256000.");
  }
  return text;
}

std::string StopField(const Json& object) {
  const auto found = object.find("stop");
  if (found == object.end()) return "1";
  if (found->is_number()) {
    const double stop = found->get<double>();
    if (stop == 1) return "1";
    if (stop == 1.5) return "1.5";
    if (stop == 2) return "2";
  }
  Refuse("\"stop\" must be 1, 1.5 or 2.");
}

const char* LineEnd(const std::string& end) {
  if (end == "cr") return "\r";
  if (end == "lf") return "\n";
  if (end == "crlf") return "\r\n";
  return "";
}

// "text" or "hex" (one of them; `required` when the call has nothing to do without), and "end".
std::string OutgoingBytes(const Json& object, bool required) {
  const std::optional<std::string> text = Text(object, "text");
  const std::optional<std::string> hex = Text(object, "hex");
  if (text && hex) Refuse("Give \"text\" or \"hex\", not both.");
  if (required && !text && !hex) Refuse("Give \"text\" or \"hex\": the bytes to send.");
  std::string bytes = text.value_or("");
  if (hex) {
    const std::optional<std::string> decoded = ParseHexBytes(*hex);
    if (!decoded) Refuse("\"hex\" must be pairs of hexadecimal digits, such as \"2A 49 44\".");
    bytes = *decoded;
  }
  return bytes + LineEnd(Choice(object, "end", {"none", "cr", "lf", "crlf"}, "none"));
}

std::string Terminator(const Json& object) {
  const std::optional<std::string> until = Text(object, "until");
  const std::optional<std::string> until_hex = Text(object, "until_hex");
  if (until && until_hex) Refuse("Give \"until\" or \"until_hex\", not both.");
  if (!until_hex) return until.value_or("\n");
  const std::optional<std::string> decoded = ParseHexBytes(*until_hex);
  if (!decoded) Refuse("\"until_hex\" must be pairs of hexadecimal digits, such as \"0D 0A\".");
  return *decoded;
}

template <typename Call, typename Read>
Parsed<Call> Guarded(Read read) {
  try {
    return read();
  } catch (const Refusal& refusal) {
    return refusal.error;
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

Parsed<OpenCall> ParseOpenCall(std::string_view body) {
  return Guarded<OpenCall>([&] {
    const Json object =
        ParseObject(body, {"port", "baud", "data", "parity", "stop", "flow", "wait_ms"});
    OpenCall call;
    call.wait = PortCallOf(object).wait;
    call.port = Text(object, "port");
    if (call.port && call.port->empty()) Refuse("\"port\" must not be empty.");
    auto& settings = call.settings;
    settings.baud_rate = BaudField(object);
    settings.data_bits = std::to_string(Integer(object, "data", 5, 8).value_or(8));
    settings.parity = Choice(object, "parity", {"none", "odd", "even", "mark", "space"}, "none");
    settings.stop_bits = StopField(object);
    settings.flow_control = Choice(object, "flow", {"none", "hardware", "software"}, "none");
    return call;
  });
}

Parsed<CloseCall> ParseCloseCall(std::string_view body) {
  return Guarded<CloseCall>([&] {
    CloseCall call;
    call.wait = PortCallOf(ParseObject(body, {"wait_ms"})).wait;
    return call;
  });
}

Parsed<SendCall> ParseSendCall(std::string_view body) {
  return Guarded<SendCall>([&] {
    const Json object = ParseObject(body, {"text", "hex", "end", "wait_ms"});
    SendCall call;
    call.wait = PortCallOf(object).wait;
    call.bytes = OutgoingBytes(object, true);
    return call;
  });
}

Parsed<QueryCall> ParseQueryCall(std::string_view body) {
  return Guarded<QueryCall>([&] {
    const Json object = ParseObject(body, {"text", "hex", "end", "until", "until_hex", "max_bytes",
                                           "timeout_ms", "flush", "wait_ms"});
    QueryCall call;
    call.wait = PortCallOf(object).wait;
    auto& query = call.query;
    query.send = OutgoingBytes(object, false);
    query.until = Terminator(object);
    query.max_bytes =
        static_cast<std::size_t>(Integer(object, "max_bytes", 0, kMaxReplyBytes).value_or(0));
    query.timeout = WaitField(object, "timeout_ms", std::chrono::milliseconds(2'000));
    query.flush = Flag(object, "flush").value_or(true);
    return call;
  });
}

std::optional<std::string> ParseHexBytes(std::string_view text) {
  std::string bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t') continue;
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    if (high < 0) {
      high = digit;
    } else {
      bytes += static_cast<char>(high * 16 + digit);
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

std::string HexBytes(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (unsigned char c : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

}  // namespace orvelle::webfront
