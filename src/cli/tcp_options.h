// --rfc2217-port, --raw-port, --tcp-allow, --tcp-takeover and --tcp-device: the serial port for
// programs that speak to a serial port over the network.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "netport/tcp_port_settings.h"

namespace orvelle::cli {

struct TcpArguments {
  int rfc2217_port = netport::TcpPortSettings::kOff;
  int raw_port = netport::TcpPortSettings::kOff;
  std::string allow = std::string(netport::AddressAllowList::kDefault);
  bool takeover = false;
  std::string device;  // the port a client opens when none is open
};

void AddTcpOptions(CLI::App& app, TcpArguments& args);

// The settings, or nothing when neither port is asked for; throws CLI::ValidationError on a
// malformed allow-list.
std::optional<netport::TcpPortSettings> TcpSettings(const TcpArguments& args,
                                                    const std::string& bind);

}  // namespace orvelle::cli
