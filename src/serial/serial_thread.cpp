// The event thread's loop and its delivery by sync method.
#include "serial/serial_thread.h"

#include <poll.h>
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
// evRx80Full: the receive queue holds this share of InputSize (in fifths).
constexpr int kRx80FullFifths = 4;

void Signal(int event_fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(event_fd, &one, sizeof one);
}

}  // namespace

TSerialThread::TSerialThread(TCustomSerialPort& port)
    : port_(port),
      device_(port.DeviceHandle()),
      events_(port.Events()),
      input_size_(port.Buffer().InputSize),
      rx80_full_wanted_(input_size_ > 0 && (events_ & evRx80Full) != 0 &&
                        static_cast<bool>(port.OnRx80Full)),
      method_(port.SyncMethod()),
      stop_event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!stop_event_.Valid()) throw std::system_error(errno, std::generic_category(), "eventfd");
  thread_ = std::jthread([this](std::stop_token stop) { Loop(stop); });
}

TSerialThread::~TSerialThread() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

int TSerialThread::PollTimeout(const Watch& watch) const {
  return watch.counters || watch.modem || watch.leftover > 0 ? kWatchIntervalMs : -1;
}

void TSerialThread::Loop(std::stop_token stop) {
  std::stop_callback wake(stop, [this] { Signal(stop_event_.Get()); });
  Watch watch;
  watch.counters = ReadLineCounters(device_, watch.last_counters);
  watch.modem = (events_ & (evCTS | evDSR | evRLSD | evRing)) != 0 &&
                ReadModemBits(device_, watch.last_modem);
  while (!stop.stop_requested()) {
    // A handler that left bytes unread gets them again only when more arrive.
    const short want = watch.leftover > 0 ? 0 : POLLIN;
    pollfd set[2] = {{stop_event_.Get(), POLLIN, 0}, {device_, want, 0}};
    if (::poll(set, 2, PollTimeout(watch)) < 0 && errno != EINTR) break;
    if (stop.stop_requested() || set[0].revents != 0) break;
    if ((set[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      port_.MarkLost();  // unplugged or hung up: nothing more will come from this handle
      break;
    }
    const TSerialEvents batch = SeenEvents(set[1].revents, watch) & events_;
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

TSerialEvents TSerialThread::SeenEvents(short revents, Watch& watch) const {
  TSerialEvents seen = CounterEvents(watch) | ModemEvents(watch);
  const bool readable = (revents & POLLIN) != 0;
  // The delivery counts the input anyway; counting here too only pays when the count decides.
  if (watch.leftover == 0 && !rx80_full_wanted_) return readable ? seen | evRxChar : seen;
  const int waiting = WaitingBytes(device_);
  if (readable || (watch.leftover > 0 && waiting > watch.leftover)) seen |= evRxChar;
  if (rx80_full_wanted_ && waiting * 5 >= input_size_ * kRx80FullFifths) seen |= evRx80Full;
  return seen;
}

TSerialEvents TSerialThread::CounterEvents(Watch& watch) const {
  LineCounters now;
  if (!watch.counters || !ReadLineCounters(device_, now) || now == watch.last_counters) return 0;
  TSerialEvents seen = evError;
  if (now.brk != watch.last_counters.brk) seen |= evBreak;
  watch.last_counters = now;
  return seen;
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
  if ((changed & TIOCM_RNG) != 0 && (now & TIOCM_RNG) != 0) seen |= evRing;
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
