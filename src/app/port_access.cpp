// Each statement's work on the port; any failure of the port becomes the statement's false.
#include "app/port_access.h"

#include <chrono>

#include "serial/port_names.h"

namespace orvelle::app {

using namespace serial;

// In the order the statement sets them; a failure leaves the earlier settings assigned.
void PortAccess::ApplyOpenRequest(const OpenRequest& request) {
  port_.SetPort(request.port);
  port_.SetBaudRate(ParseBaudRate(request.baud_rate));
  port_.SetDataBits(ParseDataBits(request.data_bits));
  port_.SetParityBits(ParseParity(request.parity));
  port_.SetStopBits(ParseStopBits(request.stop_bits));
  port_.SetFlowControlMode(ParseFlowControl(request.flow_control));
  port_.Open();
}

bool PortAccess::OpenPort(const OpenRequest& request) {
  std::lock_guard hold(lock_);
  try {
    ApplyOpenRequest(request);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool PortAccess::ClosePort() {
  std::lock_guard hold(lock_);
  try {
    port_.Close();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool PortAccess::Send(std::string_view bytes) {
  if (bytes.empty()) return true;
  std::lock_guard hold(lock_);
  try {
    // A write cut short by the time limit is no failure; what went out is recorded.
    const int written = port_.WriteText(bytes);
    if (traffic_ != nullptr && written > 0) {
      traffic_->Append(base::TrafficKind::kTx, bytes.substr(0, static_cast<std::size_t>(written)));
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool PortAccess::FlushReceived() {
  buffer_.Clear();
  return true;
}

bool PortAccess::RemoveReceived(std::int64_t count) {
  buffer_.Remove(count);
  return true;
}

bool PortAccess::Receive(std::string& out) {
  // Scripts wait for a reply by calling receive in a loop. A loop that never enters the kernel
  // keeps its core until the next tick, while the pseudo-terminal's delivery work and the port's
  // event thread queue behind everything else on the other cores. So from the third look in a
  // row that finds nothing new, wait (briefly) for the bytes instead of spinning; an arrival
  // ends the wait at once, and this look already returns what arrived.
  constexpr int kLooksBeforeWaiting = 2;
  std::uint64_t changes = 0;
  out = buffer_.Read(changes);
  if (last_seen_changes_.exchange(changes) != changes) {
    unchanged_looks_ = 0;
  } else if (++unchanged_looks_ >= kLooksBeforeWaiting && WaitForNews(changes)) {
    out = buffer_.Read(changes);
    last_seen_changes_.store(changes);
    unchanged_looks_ = 0;
  }
  return true;
}

// Waits on the port itself, so the bytes come straight to this thread; the buffer's own wait is
// for a port that cannot be waited on, whose buffer only a flush or a removal can change.
bool PortAccess::WaitForNews(std::uint64_t seen) {
  constexpr auto kLongestWait = std::chrono::microseconds(500);
  {
    std::lock_guard hold(lock_);  // the port stays open while this thread waits on it
    switch (pump_.AwaitInput(seen, kLongestWait)) {
      case ReceivePump::Wait::kChanged:
        return true;
      case ReceivePump::Wait::kUnchanged:
        return false;
      case ReceivePump::Wait::kPortUnavailable:
        break;
    }
  }
  return buffer_.WaitForChange(seen, kLongestWait);
}

std::string PortAccess::EnumPorts() {
  return serial::EnumPorts();
}

std::string PortAccess::IsOpenText() {
  std::lock_guard hold(lock_);
  if (!port_.CheckConnected()) return {};
  return port_.Port() + ' ' + BaudRateText(port_.BaudRate()) + ' ' +
         DataBitsText(port_.DataBits()) + ' ' + ParityText(port_.Parity().Bits) + ' ' +
         StopBitsText(port_.StopBits()) + ' ' + FlowControlText(port_.FlowControl().FlowControl());
}

void PortAccess::SetModemLine(ModemLine line, bool on) {
  std::lock_guard hold(lock_);
  if (port_.SetModemLine(line == ModemLine::kDtr, on) && traffic_ != nullptr) {
    traffic_->Note(base::TrafficKind::kEvent,
                   std::string(line == ModemLine::kDtr ? "DTR " : "RTS ") + (on ? "on" : "off"));
  }
}

std::string PortAccess::ModemSignalText(ModemSignal signal) {
  std::lock_guard hold(lock_);
  if (!port_.Connected()) return {};
  TModemSignals signals = 0;
  try {
    signals = port_.ModemSignals();
  } catch (const std::exception&) {
    return {};
  }
  const TModemSignals bit = signal == ModemSignal::kCts    ? CTS
                            : signal == ModemSignal::kDsr  ? DSR
                            : signal == ModemSignal::kRlsd ? RLSD
                                                           : Ring;
  return (signals & bit) != 0 ? "1" : "0";
}

}  // namespace orvelle::app
