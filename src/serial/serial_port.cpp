// TCustomSerialPort: open, close, settings that apply at once, writes, reads and queries.
#include "serial/serial_port.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <optional>

#include "base/ascii_text.h"
#include "serial/line_settings.h"
#include "serial/port_names.h"
#include "serial/serial_thread.h"

namespace orvelle::serial {
namespace {

using Clock = std::chrono::steady_clock;

// How long one round of serving main-thread work lasts while a main-thread Close waits.
constexpr std::chrono::milliseconds kServeSlice{10};

// A total time limit for n bytes from a multiplier and a constant; nullopt: no limit.
std::optional<Clock::time_point> Deadline(std::int32_t multiplier, std::int32_t constant,
                                          std::size_t bytes) {
  const std::uint64_t per_byte = static_cast<std::uint32_t>(multiplier);
  const std::uint64_t fixed = static_cast<std::uint32_t>(constant);
  if (per_byte == 0 && fixed == 0) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(per_byte * bytes + fixed);
}

// Milliseconds left for poll; -1 without a limit.
int MillisecondsLeft(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 1'000'000));
}

// Waits for the device to become ready; false when the time ran out.
bool WaitReady(int fd, short events, const std::optional<Clock::time_point>& deadline, int code) {
  const int wait = MillisecondsLeft(deadline);
  if (wait == 0) return false;
  pollfd set{fd, events, 0};
  if (::poll(&set, 1, wait) < 0 && errno != EINTR) throw ESerialPort(SerialErrorCode(code), errno);
  return true;
}

}  // namespace

TCustomSerialPort::TCustomSerialPort() = default;

TCustomSerialPort::~TCustomSerialPort() {
  try {
    Close();
  } catch (...) {
    StopThread();  // the device refused the purge; the handle still closes with device_
  }
}

bool TCustomSerialPort::CheckConnected() {
  if (!Connected()) return false;
  pollfd set{device_.Get(), 0, 0};
  if (::poll(&set, 1, 0) == 1 && (set.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) MarkLost();
  return Connected();
}

bool TCustomSerialPort::EventThreadRunning() const {
  return thread_ != nullptr && !thread_->Ended();
}

std::uint32_t TCustomSerialPort::Rate() const {
  if (baud_rate_ != TBaudRate::brCustom) return BaudRateBits(baud_rate_);
  return static_cast<std::uint32_t>(std::max(custom_baud_rate_, 0));
}

void TCustomSerialPort::Open() {
  if (CheckConnected()) return;
  if (device_.Valid()) Close();  // a device that hung up: tidy up, then open afresh
  OpenDevice();
  {
    std::lock_guard lock(counters_lock_);
    counters_ = {};
    ReadLineCounters(device_.Get(), counters_);
  }
  if (events_ != 0) thread_ = std::make_unique<TSerialThread>(*this);
  if (OnAfterOpen) OnAfterOpen();
  ReportModemSignals();
}

// The name comes from a request, so the device is looked at before it is opened: only a serial
// line is opened at all. Queue sizes and time limits have nothing to hand to the driver, so only
// the line settings can fail after the open; a failure leaves the port closed.
void TCustomSerialPort::OpenDevice() {
  const std::filesystem::path path = ResolvePortName(port_);
  const SerialDeviceLookup found = LookUpSerialDevice(path, sysfs_root_);
  if (found.error != 0) FailOpen(found.error);
  if (!found.serial) {
    if (OnNotSerialPort) OnNotSerialPort(PrintablePortName(PortAsWritten()));
    throw ESerialPort(SerialErrorCode::kOpen, ENOTTY);
  }
  base::UniqueFd device = OpenExclusive(found.device);
  if (!device.Valid()) FailOpen(errno);
  device_ = std::move(device);
  lost_.store(false);
  try {
    ApplyLineSettings();
  } catch (...) {
    device_.Reset();
    throw;
  }
}

void TCustomSerialPort::FailOpen(int error) {
  if (OnOpenFailed) OnOpenFailed(PrintablePortName(PortAsWritten()), ShownPath(), error);
  throw ESerialPort(SerialErrorCode::kOpen, error);
}

std::string TCustomSerialPort::PortAsWritten() const {
  return !written_.empty() && base::AsciiUpper(written_) == port_ ? written_ : port_;
}

std::filesystem::path TCustomSerialPort::ShownPath() const {
  const std::filesystem::path path = ResolvePortName(port_);
  std::error_code error;
  if (std::filesystem::exists(std::filesystem::symlink_status(path, error))) return path;
  return ResolvePortName(PortAsWritten());
}

void TCustomSerialPort::MarkLost() {
  if (!lost_.exchange(true) && OnLost) OnLost();
}

void TCustomSerialPort::ReleaseLostDevice() {
  if (!lost_.load() || !device_.Valid()) return;
  StopThread();
  device_.Reset();
}

void TCustomSerialPort::Reopen() {
  ReleaseLostDevice();
  try {
    OpenDevice();
  } catch (...) {
    lost_.store(true);  // still gone as far as the port's users are concerned
    throw;
  }
  StartEventThread();
}

void TCustomSerialPort::StartEventThread() {
  {
    std::lock_guard lock(counters_lock_);
    counters_ = {};
    ReadLineCounters(device_.Get(), counters_);
  }
  if (events_ != 0) thread_ = std::make_unique<TSerialThread>(*this);
}

void TCustomSerialPort::ReportModemSignals() {
  if (OnCTSChange) OnCTSChange((ModemSignals() & CTS) != 0);
  if (OnDSRChange) OnDSRChange((ModemSignals() & DSR) != 0);
  if (OnRLSDChange) OnRLSDChange((ModemSignals() & RLSD) != 0);
}

void TCustomSerialPort::Close() {
  if (!device_.Valid() && !lost_.load()) return;  // a released lost device still closes
  if (OnCTSChange) OnCTSChange(false);
  if (OnDSRChange) OnDSRChange(false);
  if (OnRLSDChange) OnRLSDChange(false);
  // A device that hung up cannot purge any more; closing it must still work.
  if (::tcflush(device_.Get(), TCIOFLUSH) != 0 && !lost_.load()) {
    throw ESerialPort(SerialErrorCode::kPurge, errno);
  }
  StopThread();
  device_.Reset();
  lost_.store(false);
  if (OnAfterClose) OnAfterClose();
}

// On the main thread the wait keeps serving deliveries, so a thread waiting for the main thread
// can still finish; the deliveries already queued run first.
void TCustomSerialPort::StopThread() {
  if (!thread_) return;
  if (sync_target_ != nullptr && sync_target_->OnMainThread()) {
    sync_target_->ServePending(std::chrono::milliseconds(0));
    thread_->RequestStop();
    while (!thread_->Ended()) sync_target_->ServePending(kServeSlice);
  }
  thread_.reset();
}

int TCustomSerialPort::WriteText(std::string_view text) {
  if (text.empty()) return 0;
  if (!device_.Valid()) throw ESerialPort(SerialErrorCode::kWrite, EBADF);
  // The kernel reports a pseudo-terminal's hang-up a moment before its writes start to fail;
  // once the port knows the device is gone, a write must not look as if it went somewhere.
  if (lost_.load()) throw ESerialPort(SerialErrorCode::kWrite, EIO);
  const auto deadline =
      Deadline(timeouts_.WriteTotalMultiplier, timeouts_.WriteTotalConstant, text.size());
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(device_.Get(), text.data() + done, text.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
      throw ESerialPort(SerialErrorCode::kWrite, errno);
    } else if (!WaitReady(device_.Get(), POLLOUT, deadline, 2)) {
      break;  // the write time limit ran out
    }
  }
  return static_cast<int>(done);
}

std::string TCustomSerialPort::ReadText(int count) {
  if (count <= 0) return {};
  if (!device_.Valid()) throw ESerialPort(SerialErrorCode::kRead, EBADF);
  const bool at_once = timeouts_.ReadInterval == -1 && timeouts_.ReadTotalMultiplier == 0 &&
                       timeouts_.ReadTotalConstant == 0;
  const auto deadline = Deadline(timeouts_.ReadTotalMultiplier, timeouts_.ReadTotalConstant,
                                 static_cast<std::size_t>(count));
  std::string text(static_cast<std::size_t>(count), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(device_.Get(), text.data() + got, text.size() - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EAGAIN && errno != EINTR) {
      throw ESerialPort(SerialErrorCode::kRead, errno);
    } else if (at_once || !WaitReady(device_.Get(), POLLIN, deadline, 3)) {
      break;
    }
  }
  text.resize(got);
  bytes_read_.fetch_add(got);
  return text;
}

std::string TCustomSerialPort::ReadWaiting(std::size_t max) {
  if (!device_.Valid()) throw ESerialPort(SerialErrorCode::kRead, EBADF);
  std::string text(max, '\0');
  ssize_t n = -1;
  do {
    n = ::read(device_.Get(), text.data(), text.size());  // the device is opened non-blocking
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno != EAGAIN) throw ESerialPort(SerialErrorCode::kRead, errno);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  bytes_read_.fetch_add(text.size());
  return text;
}

bool TCustomSerialPort::WaitForInput(std::chrono::microseconds limit) {
  if (!Connected()) return false;
  const auto seconds = std::chrono::floor<std::chrono::seconds>(limit);
  const timespec wait{static_cast<time_t>(seconds.count()),
                      static_cast<long>(std::chrono::nanoseconds(limit - seconds).count())};
  pollfd set{device_.Get(), POLLIN, 0};
  return ::ppoll(&set, 1, &wait, nullptr) == 1 &&
         (set.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == POLLIN;
}

void TCustomSerialPort::ClaimInput() {
  if (thread_) thread_->ClaimInput();
}

void TCustomSerialPort::ReleaseInput() {
  if (thread_) thread_->ReleaseInput();
}

int TCustomSerialPort::QueuedInput() {
  const int waiting = WaitingBytes(device_.Get());
  if (waiting < 0) throw ESerialPort(SerialErrorCode::kClearError, errno);
  return waiting;
}

// The errors counted since the last query; a driver without counters reports none.
TSerialErrors TCustomSerialPort::LineErrors() {
  std::lock_guard lock(counters_lock_);
  LineCounters now;
  if (!ReadLineCounters(device_.Get(), now)) {
    if (device_.Valid() && NoSuchDeviceFeature(errno)) return 0;
    throw ESerialPort(SerialErrorCode::kClearError, errno);
  }
  TSerialErrors errors = 0;
  if (now.frame != counters_.frame) errors |= FrameError;
  if (now.parity != counters_.parity && parity_check_.load()) errors |= ParityError;
  if (now.overrun != counters_.overrun) errors |= Overrun;
  if (now.buf_overrun != counters_.buf_overrun) errors |= RxOverflow;
  if (now.brk != counters_.brk) errors |= BreakDetected;
  counters_ = now;
  return errors;
}

// A driver without modem lines (a pseudo-terminal) reports every signal off.
TModemSignals TCustomSerialPort::ModemSignals() {
  int bits = 0;
  if (!ReadModemBits(device_.Get(), bits)) {
    if (device_.Valid() && NoSuchDeviceFeature(errno)) return 0;
    throw ESerialPort(SerialErrorCode::kModemStatus, errno);
  }
  TModemSignals signals = 0;
  if ((bits & TIOCM_CTS) != 0) signals |= CTS;
  if ((bits & TIOCM_DSR) != 0) signals |= DSR;
  if ((bits & TIOCM_RNG) != 0) signals |= Ring;
  if ((bits & TIOCM_CAR) != 0) signals |= RLSD;
  return signals;
}

bool TCustomSerialPort::SetModemLine(bool dtr, bool on) {
  if (!Connected()) return false;
  int line = dtr ? TIOCM_DTR : TIOCM_RTS;
  return ::ioctl(device_.Get(), on ? TIOCMBIS : TIOCMBIC, &line) == 0 || NoSuchDeviceFeature(errno);
}

bool TCustomSerialPort::SetBreak(bool on) {
  if (!Connected()) return false;
  return ::ioctl(device_.Get(), on ? TIOCSBRK : TIOCCBRK) == 0 || NoSuchDeviceFeature(errno);
}

bool TCustomSerialPort::Purge(bool input, bool output) {
  if (!Connected() || (!input && !output)) return Connected();
  const int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  return ::tcflush(device_.Get(), queue) == 0;
}

void TCustomSerialPort::DeliverBatch(TSerialEvents batch) {
  last_reported_.store(0);
  if ((batch & evError) != 0) {
    // Before the byte count, which would clear the driver's error state.
    if (const TSerialErrors errors = LineErrors(); errors != 0 && OnError) OnError(errors);
  }
  if ((batch & evRxChar) != 0) {
    const int count = QueuedInput();
    if (count > 0 && OnRxChar) {
      last_reported_.store(count);
      OnRxChar(count);
    }
  }
  if ((batch & evCTS) != 0 && OnCTSChange) OnCTSChange((ModemSignals() & CTS) != 0);
  if ((batch & evDSR) != 0 && OnDSRChange) OnDSRChange((ModemSignals() & DSR) != 0);
  if ((batch & evRLSD) != 0 && OnRLSDChange) OnRLSDChange((ModemSignals() & RLSD) != 0);
}

void TCustomSerialPort::ApplyLineSettings() {
  if (!Connected()) return;  // stored now, applied at open
  LineRequest request{Rate(), data_bits_, stop_bits_, parity_, flow_};
  if (!serial::ApplyLineSettings(device_.Get(), request) ||
      !ApplyControlLines(device_.Get(), flow_)) {
    throw ESerialPort(SerialErrorCode::kSetState, errno);
  }
}

void TCustomSerialPort::SetPort(const std::string& value) {
  if (port_ == value) return;
  port_ = value;
  if (!device_.Valid()) return;
  Close();
  Open();
}

void TCustomSerialPort::SetBaudRate(TBaudRate value) {
  Change(baud_rate_, value);
}
void TCustomSerialPort::SetCustomBaudRate(int value) {
  Change(custom_baud_rate_, value);
}
void TCustomSerialPort::SetStopBits(TStopBits value) {
  Change(stop_bits_, value);
}
void TCustomSerialPort::SetDataBits(TDataBits value) {
  Change(data_bits_, value);
}
void TCustomSerialPort::SetFlowControl(const TSerialFlowControl& value) {
  Change(flow_, value);
}

void TCustomSerialPort::SetParity(const TSerialParity& value) {
  parity_check_.store(value.Check);
  Change(parity_, value);
}

void TCustomSerialPort::SetParityBits(TParityBits value) {
  TSerialParity parity = parity_;
  parity.Bits = value;
  SetParity(parity);
}

void TCustomSerialPort::SetFlowControlMode(TFlowControl value) {
  flow_.FlowControl(value);
  ApplyLineSettings();
}

// Time limits are used by each write and read; there is nothing to hand to the driver.
void TCustomSerialPort::SetTimeouts(const TSerialTimeouts& value) {
  timeouts_ = value;
}

// Linux sizes its queues itself; the sizes are kept for the XON/XOFF and 80%-full thresholds.
void TCustomSerialPort::SetBuffer(const TSerialBuffer& value) {
  buffer_ = {EvenQueueSize(value.InputSize), EvenQueueSize(value.OutputSize)};
}

void TCustomSerialPort::SetSyncMethod(TSyncMethod value) {
  if (Connected()) throw ESerialPort(SerialErrorCode::kConnectedProperty, -1);
  sync_method_ = value;
}

}  // namespace orvelle::serial
