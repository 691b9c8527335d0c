// TServerLimits: every bound the server puts on clients, with the defaults it runs with.
#pragma once

#include <cstddef>

#include "http/connection.h"
#include "http/request_parser.h"

namespace orvelle::http {

// Each live connection holds a worker thread and a socket; beyond this many a flood would
// exhaust memory and fds.
inline constexpr std::size_t kMaxConnections = 1024;

// All request bodies being read at once hold at most this much memory: 64 bodies of the largest
// size, while a thousand stalled uploads cannot pin gigabytes.
inline constexpr std::size_t kMaxBodiesInMemory = 64 * 1024 * 1024;

struct TServerLimits {
  TRequestLimits Request;
  std::size_t MaxBodiesInMemory = kMaxBodiesInMemory;
  TConnectionTimeouts Timeouts;
  std::size_t MaxConnections = kMaxConnections;
};

}  // namespace orvelle::http
