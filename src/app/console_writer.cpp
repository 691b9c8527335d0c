// The console writer's queue and its thread.
#include "app/console_writer.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

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
    first = pending_.empty();
    pending_.append(line);
    pending_.push_back('\n');
  }
  // Only the first line wakes the thread; the ones behind it are gathered meanwhile.
  if (first) queued_.notify_one();
}

void ConsoleWriter::Run(std::stop_token stop) {
  std::unique_lock hold(lock_);
  for (;;) {
    queued_.wait(hold, stop, [this] { return !pending_.empty(); });
    if (pending_.empty()) return;  // stopped with nothing left to write
    if (!stop.stop_requested()) {
      queued_.wait_for(hold, stop, limits_.gather, [] { return false; });
    }
    std::string batch;
    batch.swap(pending_);
    const std::size_t dropped = dropped_;
    dropped_ = 0;
    hold.unlock();
    if (dropped > 0) {
      WriteAll("(" + std::to_string(dropped) + " log lines not shown: the console was not reading)\n",
               stop);
    }
    WriteAll(batch, stop);
    hold.lock();
  }
}

void ConsoleWriter::WriteAll(std::string_view bytes, const std::stop_token& stop) const {
  // A console that takes nothing for this long while the writer closes is given up on.
  constexpr int kLooksWhenClosing = 10;
  constexpr int kLookMs = 100;
  int looks_left = kLooksWhenClosing;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (stop.stop_requested() && --looks_left < 0) return;
      pollfd ready{fd_, POLLOUT, 0};
      ::poll(&ready, 1, kLookMs);
    } else {
      return;  // the console is gone; the lines have nowhere to go
    }
  }
}

}  // namespace orvelle::app
