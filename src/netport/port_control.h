// What a network client may do to the serial port, as the application grants it: the script
// slot for exclusive turns, the port's settings, lines and bytes, and the log.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "serial/serial_events.h"
#include "serial/serial_settings.h"

namespace orvelle::netport {

struct LineSettings {
  std::uint32_t rate = 9600;  // bits per second
  serial::TDataBits data_bits = serial::TDataBits::dbEight;
  serial::TParityBits parity = serial::TParityBits::prNone;
  serial::TStopBits stop_bits = serial::TStopBits::sbOneStopBit;
  serial::TFlowControl flow = serial::TFlowControl::fcNone;
  bool operator==(const LineSettings&) const = default;
};

enum class OutputLine : std::uint8_t { kDtr, kRts, kBreak };

class PortControl {
 public:
  virtual ~PortControl() = default;

  // Runs `work` while holding the one slot that scripts, API calls and broker sends take, so
  // nothing it does lands inside their exchange; false, without running it, while one holds it.
  virtual bool WithSlot(const std::function<void()>& work) = 0;

  // The calls below are made inside WithSlot, except IsOpen, Line, ModemSignals and the log.
  // Opens the port for network clients when none is open; false with the reason otherwise.
  virtual bool OpenIfClosed(std::string& why) = 0;
  virtual bool IsOpen() = 0;
  // Writes all of `bytes`, waiting as the port's write time limit allows; false on a failure.
  virtual bool Write(std::string_view bytes) = 0;
  // The open port's settings; nothing while closed.
  virtual std::optional<LineSettings> Line() = 0;
  // Applies them in one step; false (the old ones kept) when the device refuses any of them.
  virtual bool SetLine(const LineSettings& line) = 0;
  virtual bool SetOutputLine(OutputLine line, bool on) = 0;
  // Throws away what the device sent and the port has not yet delivered (input) and what waits
  // to be sent (output).
  virtual bool Purge(bool input, bool output) = 0;
  // CTS, DSR, Ring and RLSD as the device shows them; nothing when closed.
  virtual std::optional<serial::TModemSignals> ModemSignals() = 0;

  // A line for the log only.
  virtual void Log(std::string_view line) = 0;
  // A change to the port: a log line that also shows on the live console.
  virtual void Note(std::string_view event) = 0;
};

}  // namespace orvelle::netport
