// The worker pool: handing connections to idle workers, growing when all are busy, retiring
// extra idle workers, and the bounded wait of deactivation.
#include "http/thread_manager.h"

#include <algorithm>

namespace orvelle::http {

TThreadMgrDefault::TThreadMgrDefault(std::function<void()> on_finished, TThreadPoolLimits limits)
    : on_finished_(std::move(on_finished)), limits_(limits) {}

TThreadMgrDefault::~TThreadMgrDefault() {
  AbortAll();
  std::vector<std::unique_ptr<TWorker>> workers;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return busy_ == 0; });
    // Taken out under the lock: a worker that times out now finds itself gone and just ends.
    workers.swap(workers_);
    idle_.clear();
  }
  for (const auto& worker : workers) worker->thread.request_stop();
  workers.clear();  // joins each worker
  Reap();
}

void TThreadMgrDefault::Start(std::unique_ptr<TTCPConnection> connection, TBody body) {
  auto owned = std::make_unique<TPeerThread>(std::move(connection));
  TPeerThread* peer = owned.get();
  std::lock_guard lock(mutex_);
  if (!idle_.empty()) {
    live_.push_back(std::move(owned));
    ++busy_;
    // The most recently idled worker: its stack is warm, and the oldest idle ones may retire.
    TWorker* worker = idle_.back();
    idle_.pop_back();
    worker->job = TJob{peer, std::move(body)};
    worker->wake.notify_one();
    return;
  }
  workers_.reserve(workers_.size() + 1);
  live_.reserve(live_.size() + 1);
  auto fresh = std::make_unique<TWorker>();
  fresh->job = TJob{peer, std::move(body)};
  TWorker* worker = fresh.get();
  // The thread waits for mutex_ before it looks at its job, so it starts after the books agree.
  worker->thread = std::jthread([this, worker](std::stop_token stop) { Work(*worker, stop); });
  workers_.push_back(std::move(fresh));  // cannot throw: reserved above
  live_.push_back(std::move(owned));
  ++busy_;
}

std::size_t TThreadMgrDefault::Count() const {
  std::lock_guard lock(mutex_);
  return busy_;
}

std::size_t TThreadMgrDefault::WorkerCount() const {
  std::lock_guard lock(mutex_);
  return workers_.size();
}

void TThreadMgrDefault::Work(TWorker& self, std::stop_token stop) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (self.job) {
      TJob job = std::move(*self.job);
      self.job.reset();
      lock.unlock();
      Serve(job);
      lock.lock();
      --busy_;
      changed_.notify_all();
      idle_.push_back(&self);
      continue;
    }
    if (stop.stop_requested()) break;
    if (self.wake.wait_for(lock, stop, limits_.IdleLinger,
                           [&self] { return self.job.has_value(); }))
      continue;
    if (!stop.stop_requested() && idle_.size() > limits_.KeepIdle) {
      Retire(self);
      return;
    }
  }
  std::erase(idle_, &self);
}

void TThreadMgrDefault::Serve(TJob& job) {
  job.body(*job.peer);
  std::unique_ptr<TPeerThread> ended;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(live_.begin(), live_.end(),
                           [&job](const auto& p) { return p.get() == job.peer; });
    ended = std::move(*it);
    live_.erase(it);
  }
  // Closed before the connection stops counting, so a caller that saw the count drop to zero
  // finds no socket of it left.
  ended.reset();
}

// Called with mutex_ held.
void TThreadMgrDefault::Retire(TWorker& self) {
  std::erase(idle_, &self);
  auto it = std::find_if(workers_.begin(), workers_.end(),
                         [&self](const auto& w) { return w.get() == &self; });
  if (it == workers_.end()) return;  // the destructor has taken it and joins it
  retired_.push_back(std::move(*it));
  workers_.erase(it);
  // Under the lock: once the destructor has taken the workers, no worker calls back any more.
  if (on_finished_) on_finished_();
}

void TThreadMgrDefault::Reap() {
  std::vector<std::unique_ptr<TWorker>> ended;
  {
    std::lock_guard lock(mutex_);
    ended.swap(retired_);
  }
  ended.clear();  // joins each retired worker, which has left its loop already
}

void TThreadMgrDefault::AbortAll() {
  std::lock_guard lock(mutex_);
  for (const auto& peer : live_) {
    peer->stop_.request_stop();
    peer->Connection().Abort();
  }
}

bool TThreadMgrDefault::WaitIdle(std::chrono::milliseconds timeout) {
  bool idle;
  {
    std::unique_lock lock(mutex_);
    idle = changed_.wait_for(lock, timeout, [this] { return busy_ == 0; });
  }
  Reap();
  return idle;
}

}  // namespace orvelle::http
