// ConsoleWriter: writes log lines to the console (stdout) from a thread of its own. A request
// only queues its line, so a console that is slow, or not read at all (a paused terminal, a
// full pipe), never holds up a request. Lines that come close together leave in one write, and
// only the first line after a quiet spell wakes the thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

namespace orvelle::app {

class ConsoleWriter {
 public:
  struct Limits {
    // How long the thread gathers lines after the first one before writing them.
    std::chrono::milliseconds gather{5};
    // What may wait unwritten; lines beyond it are dropped, and the count is written in their
    // place once the console takes lines again.
    std::size_t max_pending = std::size_t{1} << 20;
  };

  // Writes to `fd`, which must stay open while the writer exists.
  explicit ConsoleWriter(int fd) : ConsoleWriter(fd, Limits{}) {}
  ConsoleWriter(int fd, Limits limits);
  // Writes what is still queued, then ends the thread.
  ~ConsoleWriter();
  ConsoleWriter(const ConsoleWriter&) = delete;
  ConsoleWriter& operator=(const ConsoleWriter&) = delete;

  // Queues `line` and a line feed. Never waits for the console.
  void Write(std::string_view line);

 private:
  void Run(std::stop_token stop);
  // Writes all of `bytes` unless the console fails; waits while it is full, for a bounded time
  // once the writer is closing. False when not all of it went out.
  bool WriteAll(std::string_view bytes, const std::stop_token& stop) const;

  const int fd_;
  const Limits limits_;
  std::mutex lock_;
  std::condition_variable_any queued_;
  std::string pending_;      // guarded by lock_
  std::size_t dropped_ = 0;  // guarded by lock_: lines dropped since the last write
  bool sleeping_ = false;    // guarded by lock_: the thread waits for a line, untimed
  std::jthread thread_;      // last: starts once everything above exists
};

}  // namespace orvelle::app
