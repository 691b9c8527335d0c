// Time and hex forms for traffic records; no locale, no time zone.
#include "base/traffic_text.h"

#include <cstdio>
#include <ctime>

namespace orvelle::base {

std::string IsoTimeMicros(std::chrono::system_clock::time_point time) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(micros / 1'000'000);
  long fraction = static_cast<long>(micros % 1'000'000);
  if (fraction < 0) {  // before 1970: the fraction still counts forwards
    fraction += 1'000'000;
    --seconds;
  }
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  char tail[16];
  std::snprintf(tail, sizeof tail, ".%06ldZ", fraction);
  return std::string(text, length) + tail;
}

std::string HexPairs(std::string_view bytes, std::string_view separator) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * (2 + separator.size()));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out.append(separator);
    const auto byte = static_cast<unsigned char>(bytes[i]);
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0F]);
  }
  return out;
}

std::string_view KindName(TrafficKind kind) {
  switch (kind) {
    case TrafficKind::kRx:
      return "RX";
    case TrafficKind::kTx:
      return "TX";
    case TrafficKind::kEvent:
      return "EV";
    case TrafficKind::kLog:
      return "LOG";
  }
  return "?";
}

}  // namespace orvelle::base
