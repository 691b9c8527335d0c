// What the programs' JSON API needs of the program's one serial port, beyond what a page has:
// the port's state for the status, an open that says why it failed, a send that counts. The
// application implements it over the same port access the pages use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "script/host.h"

namespace orvelle::webfront {

struct PortFacts {
  std::string name;    // as openport keeps it (upper-cased); the default COM1 before any open
  std::string device;  // the device path the name stands for
  bool open = false;
  bool waiting_for_device = false;  // the device went away and the port waits for it
  struct Settings {
    std::uint32_t baud = 0;                // bits per second
    std::string data, parity, stop, flow;  // the text forms is_open shows
  };
  std::optional<Settings> settings;  // open ports only
  struct Modem {
    bool cts = false, dsr = false, rlsd = false, ring = false;
  };
  std::optional<Modem> modem;  // open ports with modem lines only
  std::uint64_t received = 0;  // bytes since the start
  std::uint64_t sent = 0;
};

class ApiPort {
 public:
  using QueryOutcome = script::SerialAccess::QueryOutcome;

  virtual ~ApiPort() = default;
  virtual PortFacts Facts() = 0;
  // Empty when the port is open, else the reason the log gave.
  virtual std::string Open(const script::SerialAccess::OpenRequest& request) = 0;
  virtual bool Close() = 0;
  virtual QueryOutcome Send(std::string_view bytes, std::size_t& written) = 0;
  virtual QueryOutcome Query(const script::SerialAccess::QueryRequest& request,
                             std::stop_token stop, script::SerialAccess::QueryReply& reply) = 0;
  // The port an open without "port" takes (the demo device); empty when there is none.
  virtual std::string DefaultPort() = 0;
};

}  // namespace orvelle::webfront
