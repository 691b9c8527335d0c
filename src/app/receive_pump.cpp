// The two ways received bytes reach the receive buffer, under one lock.
#include "app/receive_pump.h"

#include <exception>

namespace orvelle::app {

void ReceivePump::Deliver(int count) {
  std::lock_guard hold(lock_);
  if (taken_) {
    // A waiting script took bytes after the event thread counted them: count again, so the
    // read asks only for what is left.
    taken_ = false;
    count = port_.QueuedInput();
  }
  if (count > 0) Take(count);
}

// Under lock_, so the ring sees the bytes in the order the buffer does.
void ReceivePump::Take(int count) {
  Store(port_.ReadText(count));
}

void ReceivePump::Store(std::string bytes) {
  received_ += bytes.size();
  if (traffic_ != nullptr) traffic_->Append(base::TrafficKind::kRx, bytes);
  buffer_.Append(bytes);
  if (tap_) tap_(bytes);
}

void ReceivePump::SetTap(std::function<void(std::string_view)> tap) {
  std::lock_guard hold(lock_);
  tap_ = std::move(tap);
}

ReceivePump::Wait ReceivePump::AwaitInput(std::uint64_t seen, std::chrono::microseconds limit) {
  // Held over the wait: the event thread, woken by the same bytes, waits here and then finds
  // them taken, instead of reading them while this thread does.
  std::lock_guard hold(lock_);
  // A delivery that ended while this thread waited for the lock has its bytes in the buffer.
  if (buffer_.Changes() != seen) return Wait::kChanged;
  // The event thread need not wake for what this thread reads; were it to, it would only take a
  // core from this thread and then wait for the lock.
  const serial::TInputClaim claim(port_);
  try {
    if (!port_.WaitForInput(limit)) {
      return port_.Connected() ? Wait::kUnchanged : Wait::kPortUnavailable;
    }
    // Told that input waits: read it at once, without counting it first.
    std::string bytes = port_.ReadWaiting(kReadAtOnce);
    if (!bytes.empty()) {
      Store(std::move(bytes));
      taken_ = true;
    }
  } catch (const std::exception&) {
    return Wait::kPortUnavailable;  // the event thread meets the failure and reports it
  }
  return buffer_.Changes() != seen ? Wait::kChanged : Wait::kUnchanged;
}

}  // namespace orvelle::app
