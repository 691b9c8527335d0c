// TThreadMgrDefault: one thread per connection, the live list, and the reaping of ended threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "http/peer_thread.h"

namespace orvelle::http {

class TThreadMgrDefault {
 public:
  using TBody = std::function<void(TPeerThread&)>;

  // `on_finished` is called on a connection thread after it has put itself on the finished
  // list, so the owner can wake whoever reaps.
  explicit TThreadMgrDefault(std::function<void()> on_finished);
  TThreadMgrDefault(const TThreadMgrDefault&) = delete;
  TThreadMgrDefault& operator=(const TThreadMgrDefault&) = delete;
  // Aborts every connection and joins every thread, however long their handlers take.
  ~TThreadMgrDefault();

  // Starts a thread that runs `body` for the connection. Throws std::system_error when the
  // system refuses a thread.
  void Start(std::unique_ptr<TTCPConnection> connection, TBody body);
  std::size_t Count() const;
  // Joins and frees the threads that have ended.
  void Reap();
  // Asks every live thread to stop and shuts its socket so blocked reads and writes return.
  void AbortAll();
  // Waits until no thread is live or the timeout passes; true when none is live.
  bool WaitIdle(std::chrono::milliseconds timeout);

 private:
  void Finished(TPeerThread* peer);

  std::function<void()> on_finished_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<TPeerThread>> live_;      // guarded by mutex_
  std::vector<std::unique_ptr<TPeerThread>> finished_;  // guarded by mutex_; ended, not joined
};

}  // namespace orvelle::http
