// Tables between the protocol's numbers and the port's enumerations.
#include "netport/line_codes.h"

namespace orvelle::netport {

using serial::TDataBits;
using serial::TFlowControl;
using serial::TParityBits;
using serial::TStopBits;

std::optional<TDataBits> DataBitsFromCode(std::uint32_t code) {
  if (code < 5 || code > 8) return std::nullopt;
  return static_cast<TDataBits>(code - 5);
}

std::uint8_t DataBitsCode(TDataBits bits) {
  return static_cast<std::uint8_t>(serial::DataBitsCount(bits));
}

std::optional<TParityBits> ParityFromCode(std::uint32_t code) {
  if (code < 1 || code > 5) return std::nullopt;
  return static_cast<TParityBits>(code - 1);  // the same order: none, odd, even, mark, space
}

std::uint8_t ParityCode(TParityBits parity) {
  return static_cast<std::uint8_t>(static_cast<int>(parity) + 1);
}

std::optional<TStopBits> StopBitsFromCode(std::uint32_t code) {
  switch (code) {
    case 1:
      return TStopBits::sbOneStopBit;
    case 2:
      return TStopBits::sbTwoStopBits;
    case 3:
      return TStopBits::sbOne5StopBits;
    default:
      return std::nullopt;
  }
}

std::uint8_t StopBitsCode(TStopBits stop) {
  switch (stop) {
    case TStopBits::sbOneStopBit:
      return 1;
    case TStopBits::sbTwoStopBits:
      return 2;
    case TStopBits::sbOne5StopBits:
      return 3;
  }
  return 1;
}

TFlowControl FlowFromControlCode(std::uint32_t code) {
  switch (code) {
    case 2:
    case 15:
      return TFlowControl::fcSoftware;
    case 3:
    case 16:
      return TFlowControl::fcHardware;
    default:
      return TFlowControl::fcNone;
  }
}

std::uint8_t FlowControlCode(TFlowControl flow, bool inbound) {
  const std::uint8_t base = inbound ? 14 : 1;
  switch (flow) {
    case TFlowControl::fcSoftware:
      return base + 1;
    case TFlowControl::fcHardware:
      return base + 2;
    default:
      return base;
  }
}

std::uint8_t ModemStateCode(serial::TModemSignals signals) {
  std::uint8_t code = 0;
  if (signals & serial::CTS) code |= 0x10;
  if (signals & serial::DSR) code |= 0x20;
  if (signals & serial::Ring) code |= 0x40;
  if (signals & serial::RLSD) code |= 0x80;
  return code;
}

std::uint8_t ModemDeltas(std::uint8_t before, std::uint8_t after) {
  const std::uint8_t changed = before ^ after;
  std::uint8_t deltas = 0;
  if (changed & 0x10) deltas |= 0x01;
  if (changed & 0x20) deltas |= 0x02;
  if ((before & 0x40) && !(after & 0x40)) deltas |= 0x04;
  if (changed & 0x80) deltas |= 0x08;
  return deltas;
}

std::string LineText(const LineSettings& line) {
  return std::to_string(line.rate) + ' ' + serial::DataBitsText(line.data_bits) + ' ' +
         serial::ParityText(line.parity) + ' ' + serial::StopBitsText(line.stop_bits) + ' ' +
         serial::FlowControlText(line.flow);
}

}  // namespace orvelle::netport
