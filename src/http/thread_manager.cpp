// Thread start, self-removal at the end, reaping, and the bounded wait of deactivation.
#include "http/thread_manager.h"

#include <algorithm>

namespace orvelle::http {

TThreadMgrDefault::TThreadMgrDefault(std::function<void()> on_finished)
    : on_finished_(std::move(on_finished)) {}

TThreadMgrDefault::~TThreadMgrDefault() {
  AbortAll();
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return live_.empty(); });
  lock.unlock();
  Reap();
}

void TThreadMgrDefault::Start(std::unique_ptr<TTCPConnection> connection, TBody body) {
  auto owned = std::make_unique<TPeerThread>(std::move(connection));
  TPeerThread* peer = owned.get();
  std::lock_guard lock(mutex_);
  live_.push_back(std::move(owned));
  try {
    peer->thread_ = std::jthread([this, peer, body = std::move(body)] {
      body(*peer);
      Finished(peer);
    });
  } catch (...) {
    live_.pop_back();
    throw;
  }
}

std::size_t TThreadMgrDefault::Count() const {
  std::lock_guard lock(mutex_);
  return live_.size();
}

void TThreadMgrDefault::Finished(TPeerThread* peer) {
  {
    std::lock_guard lock(mutex_);
    auto it =
        std::find_if(live_.begin(), live_.end(), [peer](const auto& p) { return p.get() == peer; });
    finished_.push_back(std::move(*it));
    live_.erase(it);
    changed_.notify_all();
  }
  on_finished_();
}

void TThreadMgrDefault::Reap() {
  std::vector<std::unique_ptr<TPeerThread>> ended;
  {
    std::lock_guard lock(mutex_);
    ended.swap(finished_);
  }
  ended.clear();  // joins each thread, then closes its socket
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
    idle = changed_.wait_for(lock, timeout, [this] { return live_.empty(); });
  }
  Reap();
  return idle;
}

}  // namespace orvelle::http
