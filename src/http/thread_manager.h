// TThreadMgrDefault: a pool of reusable worker threads, one connection per worker at a time,
// idle workers that accept connections themselves, the live list, and the reaping of workers
// that retired.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "http/peer_thread.h"

namespace orvelle::http {

// Idle workers kept for the next connections. Starting a thread per connection costs a
// scheduler hand-off and a stack mapping; a few spare workers cover ordinary concurrency, while
// each one still reserves a stack, so not every worker of a burst is kept.
inline constexpr std::size_t kKeepIdleWorkers = 16;
// How long an idle worker beyond that number waits for a connection before it exits: long
// enough to ride out back-to-back bursts, short enough that a spike does not pin its threads.
inline constexpr std::chrono::milliseconds kIdleWorkerLinger{10'000};
// How long connections may go without a worker waiting for them while the last waiting worker
// serves one: short enough that a slow handler never makes a user wait noticeably, long enough
// that ordinary requests end first and their worker takes the next connection itself.
inline constexpr std::chrono::microseconds kAcceptVacancy{10'000};

struct TThreadPoolLimits {
  std::size_t KeepIdle = kKeepIdleWorkers;
  std::chrono::milliseconds IdleLinger = kIdleWorkerLinger;
  std::chrono::microseconds AcceptVacancy = kAcceptVacancy;
};

class TThreadMgrDefault {
 public:
  using TBody = std::function<void(TPeerThread&)>;

  // What idle workers run while the pool accepts: the worker that accepts a connection serves
  // it, so no other thread has to be woken on the way.
  struct TAcceptor {
    // How likely a connection is queued already when a worker comes to accept.
    enum class TQueued {
      kUnlikely,    // nothing is being served
      kJustServed,  // only the asking worker served until now
      kOthersBusy,  // other connections are being served
    };
    // Waits at most `wait` for a connection and accepts it; nullptr when none came, on a
    // failure it has reported, or when the owner asked the workers to stop accepting.
    std::function<std::unique_ptr<TTCPConnection>(std::chrono::milliseconds wait, TQueued queued)>
        accept;
    // Turns away a connection that arrived while `max_live` connections were being served.
    std::function<void(TTCPConnection&)> reject;
    // Reports a failure the pool survived (the system refusing a thread).
    std::function<void(const std::string&)> error;
    std::size_t max_live = 0;
    // Over max_live, evict the connection that has waited longest for its request's head
    // (TTCPConnection::Evict) and serve the newcomer in its place.
    bool evict_unfinished = false;
    TBody body;
  };

  // `on_finished` is called on a worker that has retired (put itself on the retired list), so
  // the owner can wake whoever reaps. The pool grows only while every worker is busy, so it
  // never holds more workers than connections were live at once.
  explicit TThreadMgrDefault(std::function<void()> on_finished, TThreadPoolLimits limits = {});
  TThreadMgrDefault(const TThreadMgrDefault&) = delete;
  TThreadMgrDefault& operator=(const TThreadMgrDefault&) = delete;
  // Aborts every connection, waits for every handler however long it takes, and joins every
  // worker.
  ~TThreadMgrDefault();

  // Hands the connection to a worker idle on its wait (not one that accepts), or to a new one
  // when none is. Throws
  // std::system_error when the system refuses a thread.
  void Start(std::unique_ptr<TTCPConnection> connection, TBody body);
  // From now on idle workers accept and serve connections themselves. A worker that took a
  // connection looks for the next one itself once it is done, so under load one worker takes
  // the queued connections one after another instead of every connection waking another thread
  // (which, on a small machine, takes the CPU from the clients). When that worker is still busy
  // after AcceptVacancy, a standing-by worker starts waiting for connections in its place, so a
  // slow handler holds up nobody else for longer than that.
  void StartAccepting(TAcceptor acceptor);
  // Idle workers stop accepting; `wake` must make a waiting `accept` return promptly. Returns
  // once no worker is inside `accept` or `reject`. An owner that started accepting calls this
  // before the pool is destroyed.
  void StopAccepting(const std::function<void()>& wake);
  // Connections being served now.
  std::size_t Count() const;
  // Worker threads alive now, busy or idle.
  std::size_t WorkerCount() const;
  // Joins and frees the workers that have retired.
  void Reap();
  // Asks every live connection to stop and shuts its socket so blocked reads and writes return.
  void AbortAll();
  // Waits until no connection is live or the timeout passes; true when none is live.
  bool WaitIdle(std::chrono::milliseconds timeout);

 private:
  struct TJob {
    TPeerThread* peer;
    TBody body;
  };
  struct TWorker {
    std::condition_variable_any wake;
    std::optional<TJob> job;  // guarded by mutex_; set by Start, taken by the worker
    std::jthread thread;      // last: joined before the rest is freed
  };

  void Work(TWorker& self, std::stop_token stop);
  bool AcceptOne(TWorker& self, std::unique_lock<std::mutex>& lock, std::chrono::milliseconds wait,
                 bool after_serving);
  bool WatchVacancy(std::unique_lock<std::mutex>& lock, const std::stop_token& stop);
  void ArmVacancyTimer(std::chrono::nanoseconds after);
  void ArmVacancyTimerLocked(std::chrono::nanoseconds after);
  void EnsureAcceptingLocked(std::string& failure);
  void EnsureWatcherLocked(std::string& failure);
  void CallStandbyLocked(std::string& failure);
  void SpawnLocked(std::optional<TJob> job);
  void ReapLocked(std::unique_lock<std::mutex>& lock);
  bool HasSlotLocked(const TAcceptor& acceptor);
  bool EvictOldestLocked();
  void Serve(TJob& job);
  void Retire(TWorker& self);

  std::function<void()> on_finished_;
  const TThreadPoolLimits limits_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t busy_ = 0;  // guarded by mutex_; live connections
  // guarded by mutex_; live connections evicted and on their way out, whose slots are taken over
  std::size_t evicted_ = 0;
  std::vector<std::unique_ptr<TPeerThread>> live_;  // guarded by mutex_
  std::vector<std::unique_ptr<TWorker>> workers_;   // guarded by mutex_
  std::vector<TWorker*> idle_;  // guarded by mutex_; waiting for Start, last idled on top
  std::vector<std::unique_ptr<TWorker>> retired_;  // guarded by mutex_; ended, not joined
  std::shared_ptr<const TAcceptor> acceptor_;      // guarded by mutex_; set while accepting
  std::size_t accepting_ = 0;  // guarded by mutex_; workers inside accept or reject
  // A timerfd, armed when the last worker waiting for connections takes one and it is not armed
  // already; one standing-by worker (the watcher) waits on it. Fired at once to wake the
  // watcher for a stop.
  base::UniqueFd vacancy_timer_;
  bool timer_armed_ = false;  // guarded by mutex_; vacancy_timer_ is set and not yet handled
  // guarded by mutex_; when the last worker waiting for connections took one
  std::chrono::steady_clock::time_point vacancy_from_;
  bool vacancy_now_ = false;  // guarded by mutex_; the busy worker waits for its client
  bool watching_ = false;     // guarded by mutex_; a worker waits on vacancy_timer_
  std::size_t starting_ = 0;  // guarded by mutex_; threads started that have not looked yet
};

}  // namespace orvelle::http
