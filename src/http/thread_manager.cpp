// The worker pool: idle workers accepting and serving connections themselves, handing
// connections to idle workers, growing when all are busy, retiring extra idle workers, and the
// bounded wait of deactivation.
#include "http/thread_manager.h"

#include <signal.h>
#include <sys/poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <system_error>

namespace orvelle::http {
namespace {

// Sends on a closed socket must fail with EPIPE, not kill the process; a thread inherits the
// signal mask of its creator, so each worker is created with the signal blocked.
class TSigpipeBlocked {
 public:
  TSigpipeBlocked() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
  }
  ~TSigpipeBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  TSigpipeBlocked(const TSigpipeBlocked&) = delete;
  TSigpipeBlocked& operator=(const TSigpipeBlocked&) = delete;

 private:
  sigset_t saved_;
};

// How long a worker that stepped in for a busy one waits for a connection before it looks again
// whether it is still needed.
constexpr std::chrono::milliseconds kStandInWait{100};

}  // namespace

TThreadMgrDefault::TThreadMgrDefault(std::function<void()> on_finished, TThreadPoolLimits limits)
    : on_finished_(std::move(on_finished)),
      limits_(limits),
      vacancy_timer_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
  if (!vacancy_timer_.Valid()) throw std::system_error(errno, std::generic_category(), "timerfd");
}

TThreadMgrDefault::~TThreadMgrDefault() {
  AbortAll();
  std::vector<std::unique_ptr<TWorker>> workers;
  {
    std::unique_lock lock(mutex_);
    acceptor_.reset();
    changed_.wait(lock, [this] { return busy_ == 0 && accepting_ == 0; });
    // Taken out under the lock: a worker that times out now finds itself gone and just ends.
    workers.swap(workers_);
    idle_.clear();
  }
  for (const auto& worker : workers) worker->thread.request_stop();
  ArmVacancyTimer(std::chrono::nanoseconds(1));  // the watcher waits on the timer, not on stop
  workers.clear();                               // joins each worker
  Reap();
}

void TThreadMgrDefault::Start(std::unique_ptr<TTCPConnection> connection, TBody body) {
  auto owned = std::make_unique<TPeerThread>(std::move(connection));
  TPeerThread* peer = owned.get();
  std::lock_guard lock(mutex_);
  live_.reserve(live_.size() + 1);
  if (idle_.empty()) {
    SpawnLocked(TJob{peer, std::move(body)});
  } else {
    // The most recently idled worker: its stack is warm, and the oldest idle ones may retire.
    TWorker* worker = idle_.back();
    idle_.pop_back();
    worker->job = TJob{peer, std::move(body)};
    worker->wake.notify_one();
  }
  live_.push_back(std::move(owned));  // cannot throw: reserved above
  ++busy_;
}

// Called with mutex_ held. Throws std::system_error when the system refuses a thread.
void TThreadMgrDefault::SpawnLocked(std::optional<TJob> job) {
  workers_.reserve(workers_.size() + 1);
  auto fresh = std::make_unique<TWorker>();
  fresh->job = std::move(job);
  ++starting_;  // before the thread can run: it counts down once it holds mutex_
  TWorker* worker = fresh.get();
  {
    const TSigpipeBlocked blocked;
    // The thread waits for mutex_ before it looks at its job, so it starts after the books agree.
    try {
      worker->thread = std::jthread([this, worker](std::stop_token stop) { Work(*worker, stop); });
    } catch (...) {
      --starting_;
      throw;
    }
  }
  workers_.push_back(std::move(fresh));  // cannot throw: reserved above
}

void TThreadMgrDefault::StartAccepting(TAcceptor acceptor) {
  std::string failure;
  std::function<void(const std::string&)> report = acceptor.error;
  {
    std::lock_guard lock(mutex_);
    acceptor_ = std::make_shared<const TAcceptor>(std::move(acceptor));
    EnsureAcceptingLocked(failure);
  }
  if (!failure.empty() && report) report(failure);
}

void TThreadMgrDefault::StopAccepting(const std::function<void()>& wake) {
  std::unique_lock lock(mutex_);
  acceptor_.reset();
  // After the reset, so a woken worker does not go straight back into accept.
  wake();
  ArmVacancyTimerLocked(std::chrono::nanoseconds(1));
  changed_.wait(lock, [this] { return accepting_ == 0; });
}

// Called with mutex_ held: a connection may come while every worker is busy, so one more
// worker waits for it. On failure `failure` gets the reason; the busy workers accept again
// when they are done.
void TThreadMgrDefault::EnsureAcceptingLocked(std::string& failure) {
  if (!acceptor_ || accepting_ > 0) return;
  CallStandbyLocked(failure);
}

// Called with mutex_ held: the last waiting worker has taken a connection, so a standing-by
// worker must watch the vacancy. On failure `failure` gets the reason; connections then wait
// until a busy worker is done.
void TThreadMgrDefault::EnsureWatcherLocked(std::string& failure) {
  if (!acceptor_ || watching_ || starting_ > 0) return;
  CallStandbyLocked(failure);
}

// Called with mutex_ held: wakes the most recently idled standing-by worker, which takes the
// role that is vacant, or starts one when none stands by.
void TThreadMgrDefault::CallStandbyLocked(std::string& failure) {
  if (!idle_.empty()) {
    idle_.back()->wake.notify_one();
    return;
  }
  try {
    SpawnLocked(std::nullopt);
  } catch (const std::exception& e) {
    failure = e.what();
  }
}

void TThreadMgrDefault::ArmVacancyTimer(std::chrono::nanoseconds after) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(after);
  itimerspec expiry{};
  expiry.it_value.tv_sec = static_cast<time_t>(seconds.count());
  expiry.it_value.tv_nsec = static_cast<long>((after - seconds).count());
  ::timerfd_settime(vacancy_timer_.Get(), 0, &expiry, nullptr);
}

// Called with mutex_ held: the timer fires `after` from now (1 ns: at once).
void TThreadMgrDefault::ArmVacancyTimerLocked(std::chrono::nanoseconds after) {
  ArmVacancyTimer(after);
  timer_armed_ = true;
}

// Called with the lock held; waits on the vacancy timer without it. True when, once it fired,
// connections were still left without a waiting worker while others are being served: the
// caller then waits for connections itself, and another worker watches in its place. The timer
// is armed by the first worker of a spell that takes the last waiting place, not by every
// connection: on firing, a spell that began later than the vacancy bound ago is waited out.
bool TThreadMgrDefault::WatchVacancy(std::unique_lock<std::mutex>& lock,
                                     const std::stop_token& stop) {
  watching_ = true;
  bool vacant = false;
  for (;;) {
    lock.unlock();
    pollfd fired{vacancy_timer_.Get(), POLLIN, 0};
    ::poll(&fired, 1, -1);
    std::uint64_t expirations = 0;
    [[maybe_unused]] const auto taken =
        ::read(vacancy_timer_.Get(), &expirations, sizeof expirations);
    lock.lock();
    timer_armed_ = false;
    vacant = !stop.stop_requested() && acceptor_ && accepting_ == 0 && busy_ > 0;
    const bool at_once = vacancy_now_;
    vacancy_now_ = false;
    if (!vacant || at_once) break;
    const auto left = vacancy_from_ + limits_.AcceptVacancy - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    ArmVacancyTimerLocked(left);
  }
  watching_ = false;
  if (vacant) {
    std::string failure;
    EnsureWatcherLocked(failure);
    if (!failure.empty() && acceptor_->error) {
      const auto report = acceptor_->error;
      lock.unlock();
      report(failure);
      lock.lock();
    }
  }
  return vacant;
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
  --starting_;
  bool served = false;
  bool just_served = false;
  bool looked_in_vain = false;  // this worker's last wait for a connection ended without one
  for (;;) {
    if (self.job) {
      TJob job = std::move(*self.job);
      self.job.reset();
      lock.unlock();
      Serve(job);
      lock.lock();
      served = true;
    }
    ReapLocked(lock);
    if (served) {
      // Counted down only now, in the same hold of the lock as the step back to waiting, so
      // whoever sees the count drop finds this worker ready for the next connection.
      served = false;
      --busy_;
      changed_.notify_all();
    }
    if (stop.stop_requested()) break;
    if (acceptor_) {
      // A worker fresh from a connection looks for the next one itself, so the warm worker
      // keeps serving (the kernel also wakes the latest waiter first). Any other worker waits
      // for connections only when nobody does and nothing is being served; while something is,
      // one of them watches how long nobody waits, and the rest stand by.
      bool accept = just_served || (accepting_ == 0 && (busy_ == 0 || looked_in_vain));
      if (!accept && !watching_) {
        std::erase(idle_, &self);
        accept = WatchVacancy(lock, stop);
        if (!accept) continue;
      }
      if (accept) {
        std::erase(idle_, &self);  // Start must not pick a worker that is not on its wait
        // A worker standing in for a busy one waits briefly, so once that one is back there
        // are not two waiting (and two serving in parallel) for long.
        const auto wait = !just_served && busy_ > 0 ? kStandInWait : limits_.IdleLinger;
        if (AcceptOne(self, lock, wait, just_served)) {
          just_served = self.job.has_value();
          looked_in_vain = false;
          continue;
        }
        just_served = false;
        looked_in_vain = true;
        if (!stop.stop_requested() && accepting_ >= 1 &&
            accepting_ + idle_.size() >= limits_.KeepIdle) {
          Retire(self);
          return;
        }
        continue;
      }
    }
    just_served = false;
    looked_in_vain = false;
    if (std::find(idle_.begin(), idle_.end(), &self) == idle_.end()) idle_.push_back(&self);
    if (self.wake.wait_for(lock, stop, limits_.IdleLinger, [this, &self] {
          return self.job.has_value() ||
                 (acceptor_ && ((accepting_ == 0 && busy_ == 0) || !watching_));
        }))
      continue;
    if (!stop.stop_requested() && idle_.size() > limits_.KeepIdle) {
      Retire(self);
      return;
    }
  }
  std::erase(idle_, &self);
}

// Called with the lock held; waits for and accepts one connection without it. True when a
// connection came (self.job is set when it is to be served here).
bool TThreadMgrDefault::AcceptOne(TWorker& self, std::unique_lock<std::mutex>& lock,
                                  std::chrono::milliseconds wait, bool after_serving) {
  ++accepting_;
  const std::shared_ptr<const TAcceptor> acceptor = acceptor_;
  // Connections that came while this worker served are queued already.
  using TQueued = TAcceptor::TQueued;
  const TQueued queued = busy_ > 0       ? TQueued::kOthersBusy
                         : after_serving ? TQueued::kJustServed
                                         : TQueued::kUnlikely;
  lock.unlock();
  std::unique_ptr<TTCPConnection> connection;
  std::string failure;
  try {
    connection = acceptor->accept(wait, queued);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  const bool came = connection != nullptr;
  if (came) {
    lock.lock();
    if (HasSlotLocked(*acceptor)) {
      try {
        live_.reserve(live_.size() + 1);
        auto owned = std::make_unique<TPeerThread>(std::move(connection));
        self.job = TJob{owned.get(), acceptor->body};
        live_.push_back(std::move(owned));  // cannot throw: reserved above
        ++busy_;
      } catch (const std::exception& e) {
        self.job.reset();
        failure = e.what();
      }
      // This worker is busy now. If nobody else waits for connections, the ones that come
      // meanwhile wait for it; a watcher steps in if it stays busy.
      if (accepting_ == 1) {
        vacancy_from_ = std::chrono::steady_clock::now();
        if (!timer_armed_) ArmVacancyTimerLocked(limits_.AcceptVacancy);
        EnsureWatcherLocked(failure);
      }
    }
    lock.unlock();
    if (connection) acceptor->reject(*connection);
    connection.reset();
  }
  if (!failure.empty() && acceptor->error) acceptor->error(failure);
  lock.lock();
  --accepting_;
  changed_.notify_all();
  // A standing-by worker may have looked while this one still counted as waiting.
  if (acceptor_ && accepting_ == 0 && busy_ == 0 && !idle_.empty()) {
    idle_.back()->wake.notify_one();
  }
  return came;
}

void TThreadMgrDefault::Serve(TJob& job) {
  // A worker waiting for its client is not about to take the next connection: if nobody else
  // waits for connections, the watcher is told at once instead of after the vacancy bound.
  job.peer->Connection().OnFirstWait([this] {
    std::lock_guard lock(mutex_);
    if (acceptor_ && accepting_ == 0 && watching_) {
      vacancy_now_ = true;
      ArmVacancyTimerLocked(std::chrono::nanoseconds(1));
    }
  });
  job.body(*job.peer);
  std::unique_ptr<TPeerThread> ended;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(live_.begin(), live_.end(),
                           [&job](const auto& p) { return p.get() == job.peer; });
    ended = std::move(*it);
    live_.erase(it);
    if (ended->evicted_) --evicted_;
  }
  // Closed before the connection stops counting, so a caller that saw the count drop to zero
  // finds no socket of it left.
  ended.reset();
}

// Called with mutex_ held, for a connection just accepted. Only when every slot is taken does
// this look through the live list.
bool TThreadMgrDefault::HasSlotLocked(const TAcceptor& acceptor) {
  if (busy_ - evicted_ < acceptor.max_live) return true;
  return acceptor.evict_unfinished && EvictOldestLocked();
}

// Called with mutex_ held. The evicted connection's worker wakes and ends it; until then it
// still counts as live, but its slot is the newcomer's. A connection still without its head goes
// first; only when none is left does one still sending its body go, the oldest of them, so a
// flood of withheld uploads cannot keep new clients out.
bool TThreadMgrDefault::EvictOldestLocked() {
  // Each failed eviction is of a connection whose request just came in, which is not tried again.
  for (std::size_t attempt = 0; attempt <= live_.size(); ++attempt) {
    TPeerThread* oldest = nullptr;
    bool oldest_head = false;
    for (const auto& peer : live_) {
      const TTCPConnection& connection = peer->Connection();
      if (peer->evicted_ || !connection.RequestPending()) continue;
      const bool head = connection.HeadPending();
      if (!oldest || (head && !oldest_head) ||
          (head == oldest_head && connection.AcceptedAt() < oldest->Connection().AcceptedAt())) {
        oldest = peer.get();
        oldest_head = head;
      }
    }
    if (!oldest) return false;
    if (oldest->Connection().Evict()) {
      oldest->evicted_ = true;
      ++evicted_;
      return true;
    }
  }
  return false;
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

// Called with the lock held; joins retired workers without it. A retired worker has left its
// loop already, so the join is short, and no worker is ever on the list it joins.
void TThreadMgrDefault::ReapLocked(std::unique_lock<std::mutex>& lock) {
  if (retired_.empty()) return;
  std::vector<std::unique_ptr<TWorker>> ended;
  ended.swap(retired_);
  lock.unlock();
  ended.clear();
  lock.lock();
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
