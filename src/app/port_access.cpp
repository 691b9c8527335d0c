// Each statement's work on the port; any failure of the port becomes the statement's false.
#include "app/port_access.h"

#include <cerrno>
#include <chrono>

#include "serial/port_names.h"

namespace orvelle::app {

using namespace serial;
using Outcome = DeviceReturnWatch::Outcome;

namespace {

// A device node that is there but refuses the open for a moment: udev has not set its mode yet,
// or another program (a modem prober) holds it briefly.
bool PassingRefusal(int error) {
  return error == EACCES || error == EBUSY || error == EWOULDBLOCK;
}

}  // namespace

PortAccess::PortAccess(TSerialPort& port, TReceiveBuffer& buffer, ReceivePump& pump, LogLine log,
                       base::TrafficRing* traffic)
    : port_(port),
      buffer_(buffer),
      pump_(pump),
      traffic_(traffic),
      log_(std::move(log)),
      watch_([this] { return FollowDevice(); }) {
  // Called on the event thread, or under lock_ by CheckConnected: so it only wakes the watch,
  // whose thread then takes lock_ itself.
  port_.OnLost = [this] { watch_.Wake(); };
}

// The port's OnLost points here, so the port must not run on without this; once it is closed no
// thread calls it any more.
PortAccess::~PortAccess() {
  std::lock_guard hold(lock_);
  StopWaitingLocked();
  try {
    port_.Close();
  } catch (const std::exception&) {
    // The device refused the purge: let it go as if it had been unplugged.
    port_.MarkLost();
    port_.ReleaseLostDevice();
  }
  port_.OnLost = nullptr;
}

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

// A script that opens a port no longer waits for the old device, but one that fails to open the
// very port it waits for still does (with the settings it asked for now). A lost port that is
// not waited for is closed, so its loss is not taken for a new one.
bool PortAccess::OpenPort(const OpenRequest& request) {
  std::lock_guard hold(lock_);
  const bool was_waiting = waiting_;
  StopWaitingLocked();
  bool opened = false;
  try {
    ApplyOpenRequest(request);
    opened = true;
  } catch (const std::exception&) {
  }
  if (port_.Connected()) {
    opened_name_ = port_.Port();
    opened_path_ = ResolvePortName(opened_name_);
  } else if (was_waiting && port_.Lost() && port_.Port() == opened_name_) {
    waiting_ = true;
    watch_.Watch(opened_path_);
  } else {
    ForgetOpenedLocked();
  }
  return opened;
}

bool PortAccess::ClosePort() {
  std::lock_guard hold(lock_);
  StopWaitingLocked();
  opened_name_.clear();
  opened_path_.clear();
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

void PortAccess::Exclusive(const std::function<void(TSerialPort&)>& work) {
  std::lock_guard hold(lock_);
  work(port_);
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

Outcome PortAccess::FollowDevice() {
  std::lock_guard hold(lock_);
  if (waiting_) return TryReopenLocked();
  if (!port_.Lost()) return Outcome::kDone;
  return StartWaitingLocked();
}

// The kernel gives a device's name to the next device plugged in only once nobody holds it, so
// the port lets go of it at once.
Outcome PortAccess::StartWaitingLocked() {
  port_.ReleaseLostDevice();
  if (opened_path_.empty()) {  // opened by other means than openport
    opened_name_ = port_.Port();
    opened_path_ = ResolvePortName(opened_name_);
  }
  waiting_ = true;
  Log("device gone; waiting for it to come back");
  watch_.Watch(opened_path_);  // wakes the watch again, which then looks with the folder watched
  return Outcome::kWait;
}

// Only the name the port was opened by counts: a device that comes back under another is not
// taken.
Outcome PortAccess::TryReopenLocked() {
  std::error_code error;
  if (ResolvePortName(port_.Port()) != opened_path_ ||
      !std::filesystem::exists(opened_path_, error)) {
    return Outcome::kWait;
  }
  try {
    port_.Reopen();
  } catch (const ESerialPort& failure) {
    return PassingRefusal(failure.SystemCode()) ? Outcome::kRetry : Outcome::kWait;
  } catch (const std::exception&) {
    return Outcome::kWait;
  }
  StopWaitingLocked();
  Log("device back, reopened with the same settings");
  return Outcome::kDone;
}

void PortAccess::ForgetOpenedLocked() {
  opened_name_.clear();
  opened_path_.clear();
  if (!port_.Lost()) return;
  try {
    port_.Close();
  } catch (const std::exception&) {
  }
}

void PortAccess::StopWaitingLocked() {
  if (!waiting_) return;
  waiting_ = false;
  watch_.Forget();
}

void PortAccess::Log(std::string_view what) const {
  if (log_)
    log_("Serial port " + PrintablePortName(opened_path_.string()) + ": " + std::string(what));
}

}  // namespace orvelle::app
