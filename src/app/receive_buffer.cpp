// The receive buffer's operations, each under the one lock.
#include "app/receive_buffer.h"

#include <algorithm>

namespace orvelle::app {

TReceiveBuffer::TReceiveBuffer(std::function<void()> on_overflow, std::size_t limit)
    : limit_(limit), on_overflow_(std::move(on_overflow)) {}

void TReceiveBuffer::Append(std::string_view bytes) {
  bool report = false;
  {
    std::lock_guard hold(lock_);
    if (bytes.size() > limit_) bytes.remove_prefix(bytes.size() - limit_);
    const std::size_t total = LiveLocked().size() + bytes.size();
    if (total > limit_) {
      DropFrontLocked(total - limit_);
      report = !overflowing_;
      overflowing_ = true;
    }
    bytes_.append(bytes);
    if (!bytes.empty()) ++changes_;
  }
  changed_.notify_all();
  // Outside the lock: the report writes a log line, which takes the log's own lock.
  if (report && on_overflow_) on_overflow_();
}

std::string_view TReceiveBuffer::LiveLocked() const {
  return std::string_view(bytes_).substr(head_);
}

void TReceiveBuffer::DropFrontLocked(std::size_t count) {
  head_ += std::min(count, bytes_.size() - head_);
  if (head_ == bytes_.size()) {
    bytes_.clear();
    head_ = 0;
  } else if (head_ > limit_ / 2) {
    bytes_.erase(0, head_);
    head_ = 0;
  }
}

std::string TReceiveBuffer::Read() const {
  std::lock_guard hold(lock_);
  return std::string(LiveLocked());
}

std::string TReceiveBuffer::Read(std::uint64_t& changes) const {
  std::lock_guard hold(lock_);
  changes = changes_;
  return std::string(LiveLocked());
}

void TReceiveBuffer::Clear() {
  std::lock_guard hold(lock_);
  bytes_.clear();
  head_ = 0;
  overflowing_ = false;
  ++changes_;
}

void TReceiveBuffer::Remove(std::int64_t count) {
  if (count <= 0) return;
  std::lock_guard hold(lock_);
  DropFrontLocked(static_cast<std::size_t>(
      std::min<std::uint64_t>(static_cast<std::uint64_t>(count), LiveLocked().size())));
  overflowing_ = false;
  ++changes_;
}

bool TReceiveBuffer::WaitForChange(std::uint64_t seen, std::chrono::microseconds limit) const {
  std::unique_lock hold(lock_);
  return changed_.wait_for(hold, limit, [&] { return changes_ != seen; });
}

std::size_t TReceiveBuffer::Size() const {
  std::lock_guard hold(lock_);
  return LiveLocked().size();
}

std::uint64_t TReceiveBuffer::Changes() const {
  std::lock_guard hold(lock_);
  return changes_;
}

}  // namespace orvelle::app
