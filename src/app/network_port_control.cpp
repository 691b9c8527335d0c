// Each grant is one short step on the port; a failure of the device becomes false, never an
// exception on the network client's thread.
#include "app/network_port_control.h"

#include "base/ascii_text.h"

namespace orvelle::app {

using serial::TBaudRate;
using serial::TSerialPort;

namespace {

// The slot's holder as a page asking for the slot meanwhile is told.
constexpr const char* kSlotHolder = "(network serial client)";

// The table's entry for a rate it has, so the port's text form stays the familiar one.
TBaudRate TableRate(std::uint32_t rate) {
  for (int i = 1; i <= static_cast<int>(TBaudRate::br256000); ++i) {
    if (serial::BaudRateBits(static_cast<TBaudRate>(i)) == rate) return static_cast<TBaudRate>(i);
  }
  return TBaudRate::brCustom;
}

void ApplyLine(TSerialPort& port, const netport::LineSettings& line) {
  const TBaudRate table = TableRate(line.rate);
  if (table == TBaudRate::brCustom) port.SetCustomBaudRate(static_cast<int>(line.rate));
  port.SetBaudRate(table);
  port.SetDataBits(line.data_bits);
  port.SetParityBits(line.parity);
  port.SetStopBits(line.stop_bits);
  port.SetFlowControlMode(line.flow);
}

netport::LineSettings LineOf(const TSerialPort& port) {
  return {port.Rate(), port.DataBits(), port.Parity().Bits, port.StopBits(),
          port.FlowControl().FlowControl()};
}

}  // namespace

bool NetworkPortControl::WithSlot(const std::function<void()>& work) {
  std::string holder;
  const std::optional<webfront::ScriptSlot::Claim> claim = slot_.TryClaimShort(kSlotHolder, holder);
  if (!claim) return false;
  work();
  return true;
}

// With the defaults a page's openport would get, so the client starts from a known line.
bool NetworkPortControl::OpenIfClosed(std::string& why) {
  if (IsOpen()) return true;
  const std::string device = device_ ? device_() : std::string();
  if (device.empty()) {
    why = "no serial port is open, and no --tcp-device names one";
    return false;
  }
  const script::SerialAccess::OpenRequest request{
      base::AsciiUpper(device), "9600", "8", "None", "1", "None"};
  if (port_.OpenPort(request)) return true;
  why = "cannot open " + device;
  return false;
}

bool NetworkPortControl::IsOpen() {
  return !port_.IsOpenText().empty();
}

// Waits as long as the port's write time limit lets each write; what went out is recorded as the
// port's other writers' bytes are.
bool NetworkPortControl::Write(std::string_view bytes) {
  bool ok = true;
  port_.Exclusive([&](TSerialPort& port) {
    try {
      while (!bytes.empty()) {
        const int written = port.WriteText(bytes);
        if (written <= 0) {
          ok = false;
          return;
        }
        traffic_.Append(base::TrafficKind::kTx, bytes.substr(0, static_cast<std::size_t>(written)));
        bytes.remove_prefix(static_cast<std::size_t>(written));
      }
    } catch (const std::exception&) {
      ok = false;
    }
  });
  return ok;
}

std::optional<netport::LineSettings> NetworkPortControl::Line() {
  std::optional<netport::LineSettings> line;
  port_.Exclusive([&](TSerialPort& port) {
    if (port.Connected()) line = LineOf(port);
  });
  return line;
}

// All or nothing: on a refusal the settings the port had are put back.
bool NetworkPortControl::SetLine(const netport::LineSettings& line) {
  bool ok = false;
  port_.Exclusive([&](TSerialPort& port) {
    if (!port.Connected()) return;
    const netport::LineSettings before = LineOf(port);
    try {
      ApplyLine(port, line);
      ok = true;
    } catch (const std::exception&) {
      try {
        ApplyLine(port, before);
      } catch (const std::exception&) {
        // The device refuses its own settings now; the next open sets them again.
      }
    }
  });
  return ok;
}

bool NetworkPortControl::SetOutputLine(netport::OutputLine line, bool on) {
  bool ok = false;
  port_.Exclusive([&](TSerialPort& port) {
    ok = line == netport::OutputLine::kBreak
             ? port.SetBreak(on)
             : port.SetModemLine(line == netport::OutputLine::kDtr, on);
  });
  return ok;
}

bool NetworkPortControl::Purge(bool input, bool output) {
  bool ok = false;
  port_.Exclusive([&](TSerialPort& port) { ok = port.Purge(input, output); });
  return ok;
}

std::optional<serial::TModemSignals> NetworkPortControl::ModemSignals() {
  std::optional<serial::TModemSignals> signals;
  port_.Exclusive([&](TSerialPort& port) {
    if (!port.Connected()) return;
    try {
      signals = port.ModemSignals();
    } catch (const std::exception&) {
    }
  });
  return signals;
}

void NetworkPortControl::Note(std::string_view event) {
  traffic_.Note(base::TrafficKind::kEvent, event);
  log_(event);
}

}  // namespace orvelle::app
