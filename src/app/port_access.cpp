// Each statement's work on the port; any failure of the port becomes the statement's false.
#include "app/port_access.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "base/ascii_text.h"
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

// A reply is cut here whatever the caller asked: longer is a stream, not a reply, and each look
// at a growing buffer copies it.
constexpr std::size_t kMaxQueryReply = std::size_t{1} << 20;
// A query waits for the port in slices of this at most, so a stop or a closed port ends it soon
// and other port calls (the status) are never held up for longer.
constexpr auto kQuerySlice = std::chrono::milliseconds(20);
// receive's brief wait: long enough to leave the core, short enough that the loop stays live.
constexpr auto kReceiveWait = std::chrono::microseconds(500);

}  // namespace

PortAccess::PortAccess(TSerialPort& port, TReceiveBuffer& buffer, ReceivePump& pump, LogLine log,
                       base::TrafficRing* traffic, SystemRoots roots)
    : port_(port),
      buffer_(buffer),
      pump_(pump),
      traffic_(traffic),
      log_(std::move(log)),
      roots_(std::move(roots)),
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
  port_.SetPortAsWritten(request.written);
  port_.SetPort(request.port);
  ApplyLineSettings(request);
  port_.Open();
}

void PortAccess::ApplyLineSettings(const OpenRequest& request) {
  port_.SetBaudRate(ParseBaudRate(request.baud_rate));
  port_.SetDataBits(ParseDataBits(request.data_bits));
  port_.SetParityBits(ParseParity(request.parity));
  port_.SetStopBits(ParseStopBits(request.stop_bits));
  port_.SetFlowControlMode(ParseFlowControl(request.flow_control));
}

// The path is taken from the name as written: an upper-cased name of a device that is not there
// cannot be matched to its real spelling, and the watch needs that spelling to see it appear.
bool PortAccess::OpenAtStart(const OpenRequest& request) {
  std::lock_guard hold(lock_);
  StopWaitingLocked();
  ForgetOpenedLocked();
  const std::filesystem::path path = ResolvePortName(request.port);
  OpenRequest upper = request;
  upper.port = base::AsciiUpper(request.port);
  std::error_code error;
  if (std::filesystem::exists(path, error)) {
    try {
      ApplyOpenRequest(upper);
    } catch (const std::exception&) {
      return false;  // the port's open-failure report has said why
    }
    opened_name_ = port_.Port();
    opened_path_ = ResolvePortName(opened_name_);
    return true;
  }
  try {
    port_.Close();
  } catch (const std::exception&) {
    port_.MarkLost();  // a device that refuses the purge is let go as if unplugged
    port_.ReleaseLostDevice();
  }
  port_.SetPort(upper.port);
  ApplyLineSettings(upper);
  opened_name_ = port_.Port();
  opened_path_ = path;
  waiting_ = true;
  never_opened_ = true;
  Log("not there yet; waiting for it");
  watch_.Watch(opened_path_);
  return false;
}

// A script that opens a port no longer waits for the old device, but one that fails to open the
// very port it waits for still does (with the settings it asked for now). A lost port that is
// not waited for is closed, so its loss is not taken for a new one.
bool PortAccess::OpenPort(const OpenRequest& request) {
  int failure = 0;
  return OpenPort(request, failure);
}

bool PortAccess::OpenPort(const OpenRequest& request, int& failure) {
  std::lock_guard hold(lock_);
  const bool was_waiting = waiting_;
  const bool was_first = never_opened_;
  StopWaitingLocked();
  bool opened = false;
  failure = 0;
  try {
    ApplyOpenRequest(request);
    opened = true;
  } catch (const ESerialPort& error) {
    failure = error.SystemCode();
  } catch (const std::exception&) {
  }
  if (port_.Connected()) {
    opened_name_ = port_.Port();
    opened_path_ = ResolvePortName(opened_name_);
    opened_identity_ = IsStableName(opened_path_, roots_) ? DeviceIdentity{}
                                                          : IdentifyDevice(opened_path_, roots_);
  } else if (was_waiting && (port_.Lost() || was_first) && port_.Port() == opened_name_) {
    waiting_ = true;
    never_opened_ = was_first;
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
  opened_identity_ = {};
  try {
    port_.Close();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool PortAccess::Send(std::string_view bytes) {
  if (bytes.empty()) return true;
  std::size_t written = 0;
  return Write(bytes, written) == QueryOutcome::kDone;
}

PortAccess::QueryOutcome PortAccess::Write(std::string_view bytes, std::size_t& written) {
  std::lock_guard hold(lock_);
  if (!port_.CheckConnected()) return QueryOutcome::kClosed;
  return WriteLocked(bytes, written);
}

PortAccess::QueryOutcome PortAccess::WriteLocked(std::string_view bytes, std::size_t& written) {
  written = 0;
  if (bytes.empty()) return QueryOutcome::kDone;
  try {
    // A write cut short by the time limit is no failure; what went out is recorded.
    written = static_cast<std::size_t>(std::max(port_.WriteText(bytes), 0));
  } catch (const std::exception&) {
    return QueryOutcome::kSendFailed;
  }
  sent_ += written;
  if (traffic_ != nullptr && written > 0) {
    traffic_->Append(base::TrafficKind::kTx, bytes.substr(0, written));
  }
  return QueryOutcome::kDone;
}

// Send and wait under the caller's claim of the script slot: nothing else flushes or takes from
// the buffer meanwhile, and the event thread only appends, so the reply's bytes stay first.
PortAccess::QueryOutcome PortAccess::Query(const QueryRequest& request, std::stop_token stop,
                                           QueryReply& reply) {
  reply = {};
  const auto start = std::chrono::steady_clock::now();
  {
    std::lock_guard hold(lock_);
    if (!port_.CheckConnected()) return QueryOutcome::kClosed;
    if (request.flush) buffer_.Clear();
    const QueryOutcome sent = WriteLocked(request.send, reply.sent);
    if (sent != QueryOutcome::kDone) return sent;
  }
  const std::size_t max_bytes =
      request.max_bytes == 0 ? kMaxQueryReply : std::min(request.max_bytes, kMaxQueryReply);
  const auto deadline = start + request.timeout;
  for (;;) {
    std::uint64_t changes = 0;
    const std::string arrived = buffer_.Read(changes);
    if (const auto end = script::QueryReplyEnd(arrived, request.until, max_bytes)) {
      TakeReply(arrived, *end, reply);
      reply.complete = true;
      break;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline || stop.stop_requested() || !StillOpen()) {
      TakeReply(arrived, arrived.size(), reply);
      break;
    }
    const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now, kQuerySlice);
    WaitForNews(changes, std::chrono::ceil<std::chrono::microseconds>(slice));
  }
  reply.elapsed = std::chrono::steady_clock::now() - start;
  return QueryOutcome::kDone;
}

void PortAccess::TakeReply(const std::string& arrived, std::size_t count, QueryReply& reply) {
  reply.bytes = arrived.substr(0, count);
  buffer_.Remove(static_cast<std::int64_t>(count));
}

bool PortAccess::StillOpen() {
  std::lock_guard hold(lock_);
  return port_.CheckConnected();
}

webfront::PortFacts PortAccess::Facts() {
  std::lock_guard hold(lock_);
  webfront::PortFacts facts;
  facts.name = port_.Port();
  facts.device = (opened_path_.empty() ? ResolvePortName(facts.name) : opened_path_).string();
  facts.waiting_for_device = waiting_;
  facts.open = port_.CheckConnected();
  if (!facts.open) return facts;
  facts.settings = {port_.Rate(), DataBitsText(port_.DataBits()), ParityText(port_.Parity().Bits),
                    StopBitsText(port_.StopBits()),
                    FlowControlText(port_.FlowControl().FlowControl())};
  try {
    const TModemSignals signals = port_.ModemSignals();
    facts.modem = webfront::PortFacts::Modem{(signals & CTS) != 0, (signals & DSR) != 0,
                                             (signals & RLSD) != 0, (signals & Ring) != 0};
  } catch (const std::exception&) {
    // A device without modem lines: none to show.
  }
  return facts;
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
  } else if (++unchanged_looks_ >= kLooksBeforeWaiting && WaitForNews(changes, kReceiveWait)) {
    out = buffer_.Read(changes);
    last_seen_changes_.store(changes);
    unchanged_looks_ = 0;
  }
  return true;
}

// Waits on the port itself, so the bytes come straight to this thread; the buffer's own wait is
// for a port that cannot be waited on, whose buffer only a flush or a removal can change.
bool PortAccess::WaitForNews(std::uint64_t seen, std::chrono::microseconds limit) {
  {
    std::lock_guard hold(lock_);  // the port stays open while this thread waits on it
    switch (pump_.AwaitInput(seen, limit)) {
      case ReceivePump::Wait::kChanged:
        return true;
      case ReceivePump::Wait::kUnchanged:
        return false;
      case ReceivePump::Wait::kPortUnavailable:
        break;
    }
  }
  return buffer_.WaitForChange(seen, limit);
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
  const bool first = never_opened_;
  // A start's first open has no device to compare with yet; it learns it here.
  if (!first) {
    if (const Outcome same = CheckIdentityLocked(); same != Outcome::kDone) return same;
  }
  try {
    // A first open announces itself (buffer, traffic record, broker status) as openport's does.
    if (first) {
      port_.Open();
    } else {
      port_.Reopen();
    }
  } catch (const ESerialPort& failure) {
    return PassingRefusal(failure.SystemCode()) ? Outcome::kRetry : Outcome::kWait;
  } catch (const std::exception&) {
    return Outcome::kWait;
  }
  StopWaitingLocked();
  if (first) {
    opened_identity_ = IsStableName(opened_path_, roots_) ? DeviceIdentity{}
                                                          : IdentifyDevice(opened_path_, roots_);
  }
  Log(first ? "device there, opened" : "device back, reopened with the same settings");
  return Outcome::kDone;
}

// udev adds the by-id link a moment after the device node: a name that had one is looked at again
// shortly rather than judged without it.
Outcome PortAccess::CheckIdentityLocked() {
  const DeviceIdentity now = IdentifyDevice(opened_path_, roots_);
  if (!opened_identity_.by_id.empty() && now.by_id.empty() && opened_identity_.usb_serial.empty())
    return Outcome::kRetry;
  if (SameDevice(opened_identity_, now)) return Outcome::kDone;
  if (const std::string seen = now.Describe(); seen != stranger_) {
    stranger_ = seen;
    Log("another device appeared under this name (" + PrintablePortName(seen) +
        "); not reopened, still waiting for " + PrintablePortName(opened_identity_.Describe()));
  }
  return Outcome::kWait;
}

std::filesystem::path PortAccess::WaitingFor() {
  std::lock_guard hold(lock_);
  return waiting_ ? opened_path_ : std::filesystem::path();
}

void PortAccess::ForgetOpenedLocked() {
  opened_name_.clear();
  opened_path_.clear();
  opened_identity_ = {};
  if (!port_.Lost()) return;
  try {
    port_.Close();
  } catch (const std::exception&) {
  }
}

void PortAccess::StopWaitingLocked() {
  stranger_.clear();
  if (!waiting_) return;
  waiting_ = false;
  never_opened_ = false;
  watch_.Forget();
}

void PortAccess::Log(std::string_view what) const {
  if (log_)
    log_("Serial port " + PrintablePortName(opened_path_.string()) + ": " + std::string(what));
}

}  // namespace orvelle::app
