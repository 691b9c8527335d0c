// The console writer's queue and its thread.
#include "app/console_writer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace orvelle::app {

ConsoleWriter::ConsoleWriter(int fd, Limits limits)
    : fd_(fd), limits_(limits), thread_([this](std::stop_token stop) { Run(stop); }) {}

ConsoleWriter::~ConsoleWriter() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

void ConsoleWriter::Write(std::string_view line) {
  bool first = false;
  {
    std::lock_guard hold(lock_);
    if (pending_.size() + line.size() + 1 > limits_.max_pending) {
      ++dropped_;
      return;
    }
    // Only a thread asleep on an empty queue needs a wake; one that is gathering or writing
    // looks again by itself, so a steady stream of lines costs no wake at all.
    first = pending_.empty() && sleeping_;
    pending_.append(line);
    pending_.push_back('\n');
  }
  if (first) queued_.notify_one();
}

void ConsoleWriter::Run(std::stop_token stop) {
  std::unique_lock hold(lock_);
  for (;;) {
    if (pending_.empty()) {
      // Nothing came during the last gather: sleep until a line does.
      sleeping_ = true;
      queued_.wait(hold, stop, [this] { return !pending_.empty(); });
      sleeping_ = false;
      if (pending_.empty()) return;  // stopped with nothing left to write
      if (!stop.stop_requested()) {
        queued_.wait_for(hold, stop, limits_.gather, [] { return false; });
      }
    }
    std::string batch;
    batch.swap(pending_);
    const std::size_t dropped = dropped_;
    dropped_ = 0;
    hold.unlock();
    bool written = true;
    if (dropped > 0) {
      written = WriteAll(
          "(" + std::to_string(dropped) + " log lines not shown: the console was not reading)\n",
          stop);
    }
    if (written) written = WriteAll(batch, stop);
    // Closing, and the console took nothing: the lines still queued would only wait as long.
    if (!written && stop.stop_requested()) return;
    hold.lock();
    // Lines that come while this thread writes or gathers wake nobody; it looks again after
    // one more gather, and only an empty look sends it to sleep.
    if (!stop.stop_requested()) {
      queued_.wait_for(hold, stop, limits_.gather, [] { return false; });
    }
  }
}

// The console is usually blocking (a terminal, a pipe, the journal's socket), and a blocking
// write into a full pipe would hold this thread, and so the close, until somebody reads. So the
// writer waits in poll, which it can leave, and writes only once the console has room, at most
// PIPE_BUF bytes at a time: that much fits whenever a pipe or socket reports room.
bool ConsoleWriter::WriteAll(std::string_view bytes, const std::stop_token& stop) const {
  // A console that takes nothing for this long while the writer closes is given up on.
  constexpr int kLooksWhenClosing = 10;
  // How often a writer waiting for room looks whether it is asked to close.
  constexpr int kLookMs = 100;
  int looks_left = kLooksWhenClosing;
  while (!bytes.empty()) {
    pollfd ready{fd_, POLLOUT, 0};
    const int seen = ::poll(&ready, 1, kLookMs);
    if (seen < 0 && errno != EINTR) return false;
    if (seen <= 0) {
      if (stop.stop_requested() && --looks_left < 0) return false;
      continue;
    }
    if ((ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;  // nobody reads
    const ssize_t n = ::write(fd_, bytes.data(), std::min<std::size_t>(bytes.size(), PIPE_BUF));
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    } else {
      return false;  // the console is gone; the lines have nowhere to go
    }
  }
  return true;
}

}  // namespace orvelle::app
