// The loop: one poll on the wake eventfd and the watched fds, bounded by the next timer.
#include "main_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace orvelle::app {

// What an invoke-and-wait caller waits on.
struct MainLoop::Waiter {
  bool finished = false;
};

MainLoop::MainLoop()
    : main_thread_(std::this_thread::get_id()), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_.Valid()) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void MainLoop::Post(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (quit_) return;
    tasks_.push_back(std::move(task));
  }
  Wake();
}

bool MainLoop::InvokeAndWait(Task task) {
  if (OnMainThread()) {
    task();
    return true;
  }
  auto waiter = std::make_shared<Waiter>();
  std::unique_lock lock(mutex_);
  if (quit_) return false;
  tasks_.push_back([this, waiter, task = std::move(task)] {
    task();
    std::lock_guard done_lock(mutex_);
    waiter->finished = true;
    done_.notify_all();
  });
  Wake();
  done_.wait(lock, [&] { return waiter->finished || quit_; });
  return waiter->finished;
}

void MainLoop::WatchFd(int fd, Task on_ready) {
  std::lock_guard lock(mutex_);
  watches_.push_back({fd, std::move(on_ready)});
}

void MainLoop::Run() {
  {
    std::lock_guard lock(mutex_);
    main_thread_ = std::this_thread::get_id();
  }
  while (!Quitting()) RunOnce(std::chrono::hours(1));
}

void MainLoop::RunOnce(std::chrono::milliseconds wait) {
  WaitForWork(wait);
  RunTasks();
  RunDueTimers();
}

void MainLoop::Quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    tasks_.clear();
    done_.notify_all();
  }
  Wake();
}

bool MainLoop::Quitting() const {
  std::lock_guard lock(mutex_);
  return quit_;
}

std::chrono::milliseconds MainLoop::TimeToWork(std::chrono::milliseconds cap) const {
  std::lock_guard lock(mutex_);
  return std::chrono::milliseconds(PollTimeout(cap));
}

void MainLoop::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_.Get(), &one, sizeof one);
}

bool MainLoop::OnMainThread() const {
  std::lock_guard lock(mutex_);
  return main_thread_ == std::this_thread::get_id();
}

int MainLoop::PollTimeout(std::chrono::milliseconds wait) const {
  if (!tasks_.empty() || quit_) return 0;
  auto until = Clock::now() + wait;
  for (const auto& [id, timer] : timers_) {
    if (timer.enabled && timer.interval.count() > 0 && timer.deadline < until) {
      until = timer.deadline;
    }
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

void MainLoop::WaitForWork(std::chrono::milliseconds wait) {
  std::vector<pollfd> set{{wake_.Get(), POLLIN, 0}};
  std::vector<Task> ready;
  int timeout;
  {
    std::lock_guard lock(mutex_);
    for (const Watch& watch : watches_) set.push_back({watch.fd, POLLIN, 0});
    timeout = PollTimeout(wait);
  }
  if (::poll(set.data(), set.size(), timeout) <= 0) return;
  std::uint64_t count;
  [[maybe_unused]] const auto got = ::read(wake_.Get(), &count, sizeof count);
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 1; i < set.size(); ++i) {
      if (set[i].revents != 0) ready.push_back(watches_[i - 1].on_ready);
    }
  }
  for (Task& task : ready) task();
}

void MainLoop::RunTasks() {
  std::deque<Task> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(tasks_);
  }
  for (Task& task : batch) task();
}

void MainLoop::RunDueTimers() {
  std::vector<Task> due;
  {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    for (auto& [id, timer] : timers_) {
      if (!timer.enabled || timer.interval.count() <= 0 || timer.deadline > now) continue;
      timer.fired_generation = timer.generation;
      timer.deadline = now + timer.interval;
      due.push_back(timer.on_timer);
    }
  }
  for (Task& task : due) task();
}

MainLoop::TimerId MainLoop::AddTimer(Task on_timer) {
  std::lock_guard lock(mutex_);
  const TimerId id = next_timer_++;
  timers_[id].on_timer = std::move(on_timer);
  return id;
}

void MainLoop::RemoveTimer(TimerId id) {
  std::lock_guard lock(mutex_);
  timers_.erase(id);
}

void MainLoop::StartTimer(TimerId id, std::chrono::milliseconds interval) {
  {
    std::lock_guard lock(mutex_);
    TimerState& timer = timers_.at(id);
    timer.interval = interval;
    timer.enabled = true;
    timer.deadline = Clock::now() + interval;
    ++timer.generation;
  }
  Wake();
}

void MainLoop::RestartTimer(TimerId id) {
  std::lock_guard lock(mutex_);
  TimerState& timer = timers_.at(id);
  timer.deadline = Clock::now() + timer.interval;
  ++timer.generation;
}

void MainLoop::StopTimer(TimerId id) {
  std::lock_guard lock(mutex_);
  timers_.at(id).enabled = false;
}

bool MainLoop::TimerEnabled(TimerId id) const {
  std::lock_guard lock(mutex_);
  return timers_.at(id).enabled;
}

bool MainLoop::StopTimerUnlessRestarted(TimerId id) {
  std::lock_guard lock(mutex_);
  TimerState& timer = timers_.at(id);
  if (!timer.enabled || timer.generation != timer.fired_generation) return false;
  timer.enabled = false;
  return true;
}

LoopTimer::LoopTimer(MainLoop& loop, MainLoop::Task on_timer)
    : loop_(loop), id_(loop.AddTimer(std::move(on_timer))) {}

LoopTimer::~LoopTimer() {
  loop_.RemoveTimer(id_);
}

}  // namespace orvelle::app
