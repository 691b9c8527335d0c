// Test support: the test's own thread as the "main thread": a task queue it serves in bounded
// rounds, wrapped in the same TPostedSync the program uses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "serial/posted_sync.h"

namespace orvelle::serial::test {

class MainQueue {
 public:
  MainQueue()
      : sync_({[this](std::function<void()> task) { Post(std::move(task)); },
               [this] { return std::this_thread::get_id() == main_; },
               [this](std::chrono::milliseconds wait) { Serve(wait); }}) {}

  TSyncTarget& Target() { return sync_; }

  void Post(std::function<void()> task) {
    std::lock_guard hold(lock_);
    tasks_.push_back(std::move(task));
    posted_.notify_all();
  }

  // Runs what is queued, waiting at most `wait` for the first task.
  void Serve(std::chrono::milliseconds wait = std::chrono::milliseconds(10)) {
    std::deque<std::function<void()>> batch;
    {
      std::unique_lock hold(lock_);
      posted_.wait_for(hold, wait, [&] { return !tasks_.empty(); });
      batch.swap(tasks_);
    }
    for (auto& task : batch) task();
  }

  std::size_t Pending() {
    std::lock_guard hold(lock_);
    return tasks_.size();
  }

 private:
  std::thread::id main_ = std::this_thread::get_id();
  std::mutex lock_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> tasks_;
  TPostedSync sync_;
};

}  // namespace orvelle::serial::test
