// The written forms of a traffic record shared by the live stream and the traffic log: the time
// in ISO 8601 (UTC, microseconds), the bytes as hex pairs, the direction's short name.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "base/traffic_ring.h"

namespace orvelle::base {

// "2024-05-01T12:34:56.123456Z".
std::string IsoTimeMicros(std::chrono::system_clock::time_point time);
// Upper-case pairs, `separator` between them ("48 69" or "4869").
std::string HexPairs(std::string_view bytes, std::string_view separator);
// "RX", "TX", "EV" or "LOG".
std::string_view KindName(TrafficKind kind);

}  // namespace orvelle::base
