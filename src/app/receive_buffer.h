// TReceiveBuffer: the bytes received from the serial port and not yet
// removed by a script. Each append, read and removal is indivisible; the size is bounded so a
// chatty device that no page reads cannot exhaust memory.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace orvelle::app {

class TReceiveBuffer {
 public:
  // Far above any reply a page polls for, far below what would hurt the machine.
  static constexpr std::size_t kDefaultLimit = std::size_t{16} << 20;

  // `on_overflow` is told once each time the buffer first has to drop bytes.
  explicit TReceiveBuffer(std::function<void()> on_overflow, std::size_t limit = kDefaultLimit);

  // Appends; when the limit is passed, the oldest bytes go.
  void Append(std::string_view bytes);
  std::string Read() const;
  // The same, with the count of changes so far, so a poller can tell that nothing happened.
  std::string Read(std::uint64_t& changes) const;
  void Clear();
  // Drops the first `count` bytes; a count of 0 or less changes nothing.
  void Remove(std::int64_t count);
  std::size_t Size() const;
  // The count of changes so far (appends of something, clears, removals).
  std::uint64_t Changes() const;
  // Waits until the count of changes differs from `seen` or `limit` has passed; true when it
  // changed.
  bool WaitForChange(std::uint64_t seen, std::chrono::microseconds limit) const;

 private:
  const std::size_t limit_;
  std::function<void()> on_overflow_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  // Locked helpers over the live bytes, which start at head_: dropping the oldest only moves
  // head_, and the dead front is cut off once it outgrows the limit, so a full buffer costs
  // each append no copy of the whole.
  std::string_view LiveLocked() const;
  void DropFrontLocked(std::size_t count);

  std::string bytes_;
  std::size_t head_ = 0;      // bytes_ before this are dropped already
  bool overflowing_ = false;  // reported already; cleared once a script makes room
  std::uint64_t changes_ = 0;
};

}  // namespace orvelle::app
