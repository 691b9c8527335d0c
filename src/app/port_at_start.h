// The port the server opens when it starts: its name and line settings as an administrator writes
// them ("115200 8N1", optionally followed by the flow control). The settings are checked strictly,
// so a typing error stops the start instead of opening the port at openport's fallback of 9600.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "script/host.h"

namespace orvelle::app {

// What --open-port uses when no line settings are given.
inline constexpr std::string_view kDefaultLineSettings = "9600 8N1 none";

// The problem with `settings` ("BAUD DPS [FLOW]": a baud rate openport knows, data bits 5 to 8,
// parity N/O/E/M/S, stop bits 1, 1.5 or 2, flow none/hardware/software), or empty text.
std::string LineSettingsProblem(std::string_view settings);

// The openport arguments for `port` with `settings`; nullopt when LineSettingsProblem finds one.
std::optional<script::SerialAccess::OpenRequest> PortAtStart(std::string_view port,
                                                             std::string_view settings);

}  // namespace orvelle::app
