// How the settings become the terminal's line settings (termios2), and the DTR/RTS levels that
// go with them. Kept apart from the device so the mapping can be checked on its own.
#pragma once

#include <cstdint>

#include "serial/serial_settings.h"

namespace orvelle::serial {

struct LineRequest {
  std::uint32_t rate = 9600;  // bits per second, custom rates included
  TDataBits data_bits = TDataBits::dbEight;
  TStopBits stop_bits = TStopBits::sbOneStopBit;
  TSerialParity parity;
  TSerialFlowControl flow;
};

// Writes the request onto the device's line settings; errno is left set on failure. A rate of 0,
// or one the driver does not take (it keeps another), fails with EINVAL.
bool ApplyLineSettings(int fd, const LineRequest& request);

// What a test or the device reads back.
struct LineReadback {
  std::uint32_t input_rate = 0;
  std::uint32_t output_rate = 0;
  int data_bits = 0;
  bool parity_enabled = false;
  bool parity_odd = false;
  bool parity_sticky = false;  // mark or space
  bool two_stop_bits = false;
  bool rts_cts = false;
  bool xon_out = false;
  bool xon_in = false;
  bool input_check = false;
  bool raw = false;  // no canonical mode, echo, signals or output processing
  std::uint8_t start_char = 0;
  std::uint8_t stop_char = 0;
};
bool ReadLineSettings(int fd, LineReadback& out);
// What the request asks of the driver, decoded the same way; pseudo-terminals keep only part of
// it (they force 8 bits without parity), so the mapping is checked here in full.
LineReadback DescribeRequest(const LineRequest& request);

// Raises or drops DTR and RTS as ControlDTR and ControlRTS ask; devices without modem lines
// (pseudo-terminals) are left alone.
bool ApplyControlLines(int fd, const TSerialFlowControl& flow);

// True when errno says the device has no modem lines or counters at all.
bool NoSuchDeviceFeature(int error);

}  // namespace orvelle::serial
