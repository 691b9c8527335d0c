// The event thread's loop and its delivery by sync method.
#include "serial/serial_thread.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <system_error>

#include "serial/serial_port.h"

namespace orvelle::serial {
namespace {

// Line-error counters and modem lines have no readiness to poll for; look at them this often.
constexpr int kWatchIntervalMs = 20;
// What each registration in the thread's epoll set stands for.
constexpr std::uint32_t kStopTag = 0;
constexpr std::uint32_t kDeviceTag = 1;

void Signal(int event_fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(event_fd, &one, sizeof one);
}

}  // namespace

TSerialThread::TSerialThread(TCustomSerialPort& port)
    : port_(port),
      device_(port.DeviceHandle()),
      events_(port.Events()),
      method_(port.SyncMethod()),
      stop_event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
  if (!stop_event_.Valid()) throw std::system_error(errno, std::generic_category(), "eventfd");
  if (!epoll_.Valid()) throw std::system_error(errno, std::generic_category(), "epoll_create1");
  epoll_event stop{EPOLLIN, {.u32 = kStopTag}};
  epoll_event device{EPOLLIN, {.u32 = kDeviceTag}};
  if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, stop_event_.Get(), &stop) != 0 ||
      ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, device_, &device) != 0) {
    throw std::system_error(errno, std::generic_category(), "epoll_ctl");
  }
  thread_ = std::jthread([this](std::stop_token stop) { Loop(stop); });
}

TSerialThread::~TSerialThread() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

void TSerialThread::ClaimInput() {
  std::lock_guard hold(interest_lock_);
  ++claims_;
  UpdateInterestLocked();
}

void TSerialThread::ReleaseInput() {
  std::lock_guard hold(interest_lock_);
  if (claims_ > 0) --claims_;
  UpdateInterestLocked();
}

void TSerialThread::HoldForLeftover(bool hold) {
  std::lock_guard guard(interest_lock_);
  leftover_hold_ = hold;
  UpdateInterestLocked();
}

// Level-triggered: turning the watch back on while input waits wakes the thread at once.
// Hang-ups and errors are reported whatever the watch is set to.
void TSerialThread::UpdateInterestLocked() {
  const bool want = claims_ == 0 && !leftover_hold_;
  if (want == watching_input_) return;
  epoll_event device{want ? static_cast<std::uint32_t>(EPOLLIN) : 0U, {.u32 = kDeviceTag}};
  if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, device_, &device) == 0) watching_input_ = want;
}

int TSerialThread::PollTimeout(const Watch& watch) const {
  return watch.counters || watch.modem || watch.leftover > 0 ? kWatchIntervalMs : -1;
}

void TSerialThread::Loop(std::stop_token stop) {
  std::stop_callback wake(stop, [this] { Signal(stop_event_.Get()); });
  Watch watch;
  watch.counters = ReadLineCounters(device_, watch.last_counters);
  watch.modem =
      (events_ & (evCTS | evDSR | evRLSD)) != 0 && ReadModemBits(device_, watch.last_modem);
  while (!stop.stop_requested()) {
    // A handler that left bytes unread gets them again only when more arrive.
    HoldForLeftover(watch.leftover > 0);
    epoll_event seen[2];
    const int count = ::epoll_wait(epoll_.Get(), seen, 2, PollTimeout(watch));
    if (count < 0 && errno != EINTR) break;
    bool stop_seen = false;
    std::uint32_t device_seen = 0;
    for (int i = 0; i < count; ++i) {
      if (seen[i].data.u32 == kStopTag) stop_seen = true;
      if (seen[i].data.u32 == kDeviceTag) device_seen = seen[i].events;
    }
    if (stop.stop_requested() || stop_seen) break;
    if ((device_seen & (EPOLLHUP | EPOLLERR)) != 0) {
      port_.MarkLost();  // unplugged or hung up: nothing more will come from this handle
      break;
    }
    const TSerialEvents batch = SeenEvents((device_seen & EPOLLIN) != 0, watch) & events_;
    if (batch == 0) continue;
    const std::uint64_t read_before = port_.BytesRead();
    if (!Deliver(batch, stop)) break;
    // Only what the handler left is "old"; bytes that came during the delivery are news.
    const auto read = static_cast<std::int64_t>(port_.BytesRead() - read_before);
    watch.leftover = static_cast<int>(std::max<std::int64_t>(port_.LastReported() - read, 0));
  }
  Finish();
}

// After the loop: what was neither read nor sent is dropped, as closing the port promises.
void TSerialThread::Finish() {
  ::tcflush(device_, TCIOFLUSH);
  ended_.store(true);
}

TSerialEvents TSerialThread::SeenEvents(bool readable, Watch& watch) const {
  TSerialEvents seen = CounterEvents(watch) | ModemEvents(watch);
  // The delivery counts the input anyway; counting here too only pays when the count decides.
  if (watch.leftover == 0) return readable ? seen | evRxChar : seen;
  const int waiting = WaitingBytes(device_);
  if (readable || (watch.leftover > 0 && waiting > watch.leftover)) seen |= evRxChar;
  return seen;
}

TSerialEvents TSerialThread::CounterEvents(Watch& watch) const {
  LineCounters now;
  if (!watch.counters || !ReadLineCounters(device_, now) || now == watch.last_counters) return 0;
  watch.last_counters = now;
  return evError;
}

TSerialEvents TSerialThread::ModemEvents(Watch& watch) const {
  int now = 0;
  if (!watch.modem || !ReadModemBits(device_, now) || now == watch.last_modem) return 0;
  const int changed = now ^ watch.last_modem;
  watch.last_modem = now;
  TSerialEvents seen = 0;
  if ((changed & TIOCM_CTS) != 0) seen |= evCTS;
  if ((changed & TIOCM_DSR) != 0) seen |= evDSR;
  if ((changed & TIOCM_CAR) != 0) seen |= evRLSD;
  return seen;
}

bool TSerialThread::Deliver(TSerialEvents batch, std::stop_token stop) {
  const bool on_main = method_ != TSyncMethod::smNone && port_.SyncTarget() != nullptr;
  if (on_main) return DeliverOnMain(batch, stop);
  try {
    port_.DeliverBatch(batch);
    return true;
  } catch (...) {
    return false;  // a failing delivery ends the thread
  }
}

// smThreadSync: a failure is handed back here and ends the thread. smWindowSync: it goes to the
// port's exception handler on the main thread and the thread carries on.
bool TSerialThread::DeliverOnMain(TSerialEvents batch, std::stop_token stop) {
  bool failed = false;
  const bool window_sync = method_ == TSyncMethod::smWindowSync;
  auto step = [this, batch, window_sync, &failed] {
    try {
      port_.DeliverBatch(batch);
    } catch (const std::exception& error) {
      if (window_sync && port_.OnSyncException) port_.OnSyncException(error);
      failed = !window_sync;
    } catch (...) {
      failed = !window_sync;
    }
  };
  if (!port_.SyncTarget()->InvokeAndWait(step, stop)) return false;
  return !failed;
}

}  // namespace orvelle::serial
