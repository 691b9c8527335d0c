// app::MainLoop: the main thread's queue of tasks, with post, invoke-and-wait, interval timers
// and file descriptors to watch. Headless it runs on the process's main thread; a desktop front
// end drives it from its toolkit's loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "base/unique_fd.h"

namespace orvelle::app {

class MainLoop {
 public:
  using Task = std::function<void()>;
  using Clock = std::chrono::steady_clock;
  using TimerId = std::uint64_t;

  MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  // Queues a task for the main thread; from any thread. Dropped once the loop has quit.
  void Post(Task task);
  // Runs the task on the main thread and waits for it; runs it at once when called there.
  // False when the loop quit before the task could run.
  bool InvokeAndWait(Task task);

  // Calls `on_ready` on the main thread whenever `fd` is readable. The fd must outlive the loop.
  void WatchFd(int fd, Task on_ready);

  // Runs tasks, timers and watches until Quit; the calling thread becomes the main thread.
  void Run();
  // Runs what is due now, waiting at most `wait` for something to become due.
  void RunOnce(std::chrono::milliseconds wait);
  // Ends Run; from any thread.
  void Quit();
  bool Quitting() const;
  // True on the thread that runs (or will run) the loop.
  bool IsMainThread() const { return OnMainThread(); }

  // For a toolkit that drives the loop instead of Run: the fd that turns readable whenever a
  // task is posted, a timer changes or Quit is called. Call RunOnce(0ms) when it does.
  int WakeFd() const { return wake_.Get(); }
  // How long RunOnce may wait before something is due: zero with tasks queued, else the time to
  // the next timer, at most `cap`.
  std::chrono::milliseconds TimeToWork(std::chrono::milliseconds cap) const;

 private:
  friend class LoopTimer;
  struct TimerState {
    Task on_timer;
    bool enabled = false;
    std::chrono::milliseconds interval{0};
    Clock::time_point deadline;
    std::uint64_t generation = 0;        // moves on at every start and restart
    std::uint64_t fired_generation = 0;  // the generation of the last firing
  };
  struct Watch {
    int fd;
    Task on_ready;
  };
  struct Waiter;

  TimerId AddTimer(Task on_timer);
  void RemoveTimer(TimerId id);
  void StartTimer(TimerId id, std::chrono::milliseconds interval);
  void RestartTimer(TimerId id);
  void StopTimer(TimerId id);
  bool TimerEnabled(TimerId id) const;
  bool StopTimerUnlessRestarted(TimerId id);

  void Wake();
  int PollTimeout(std::chrono::milliseconds wait) const;
  void WaitForWork(std::chrono::milliseconds wait);
  void RunTasks();
  void RunDueTimers();
  bool OnMainThread() const;

  mutable std::mutex mutex_;
  std::condition_variable done_;  // invoke-and-wait callers
  std::deque<Task> tasks_;
  std::map<TimerId, TimerState> timers_;
  std::deque<Watch> watches_;
  TimerId next_timer_ = 1;
  bool quit_ = false;
  std::thread::id main_thread_;
  base::UniqueFd wake_;  // eventfd: a post, a timer change or Quit ends the wait
};

// One interval timer of the loop; its handler runs on the main thread. Safe from any thread.
class LoopTimer {
 public:
  LoopTimer(MainLoop& loop, MainLoop::Task on_timer);
  ~LoopTimer();
  LoopTimer(const LoopTimer&) = delete;
  LoopTimer& operator=(const LoopTimer&) = delete;

  // An interval of 0 keeps the timer enabled but it never fires.
  void Start(std::chrono::milliseconds interval) { loop_.StartTimer(id_, interval); }
  void Restart() { loop_.RestartTimer(id_); }
  void Stop() { loop_.StopTimer(id_); }
  bool Enabled() const { return loop_.TimerEnabled(id_); }
  // From the handler: stops the timer unless it was started or restarted after it fired.
  bool StopUnlessRestarted() { return loop_.StopTimerUnlessRestarted(id_); }

 private:
  MainLoop& loop_;
  MainLoop::TimerId id_;
};

}  // namespace orvelle::app
