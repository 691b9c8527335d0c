// The RFC 2217 numbers for data size, parity, stop size, flow control and modem state, and the
// port's settings they stand for. Codes outside the table mean "keep" (or "tell me").
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "netport/port_control.h"

namespace orvelle::netport {

std::optional<serial::TDataBits> DataBitsFromCode(std::uint32_t code);  // 5 to 8
std::uint8_t DataBitsCode(serial::TDataBits bits);
std::optional<serial::TParityBits> ParityFromCode(std::uint32_t code);  // 1 none .. 5 space
std::uint8_t ParityCode(serial::TParityBits parity);
std::optional<serial::TStopBits> StopBitsFromCode(std::uint32_t code);  // 1 one, 2 two, 3 1.5
std::uint8_t StopBitsCode(serial::TStopBits stop);
// SET-CONTROL 1/14 none, 2/15 XON/XOFF, 3/16 hardware.
serial::TFlowControl FlowFromControlCode(std::uint32_t code);
// The answer to a flow-control SET-CONTROL: outbound codes 1-3, inbound codes 14-16.
std::uint8_t FlowControlCode(serial::TFlowControl flow, bool inbound);
// CTS 0x10, DSR 0x20, RI 0x40, CD 0x80.
std::uint8_t ModemStateCode(serial::TModemSignals signals);
// The delta bits between two modem states (RI: its trailing edge only).
std::uint8_t ModemDeltas(std::uint8_t before, std::uint8_t after);
// "115200 8 Even 2 None", the settings' own text forms, for the log.
std::string LineText(const LineSettings& line);

}  // namespace orvelle::netport
