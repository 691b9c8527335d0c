// TPostedSync: a TSyncTarget over any "post a task to the main thread" queue. The waiting
// thread can give up while its task has not begun, and a task given up on never runs.
#pragma once

#include <functional>
#include <memory>

#include "serial/sync_target.h"

namespace orvelle::serial {

class TPostedSync final : public TSyncTarget {
 public:
  using Task = std::function<void()>;
  struct Hooks {
    std::function<void(Task)> post;                        // queue for the main thread
    std::function<bool()> on_main_thread;                  // is the caller the main thread
    std::function<void(std::chrono::milliseconds)> serve;  // run due main-thread work
  };

  explicit TPostedSync(Hooks hooks);
  ~TPostedSync() override;

  bool InvokeAndWait(Task task, std::stop_token stop) override;
  bool OnMainThread() const override { return hooks_.on_main_thread(); }
  void ServePending(std::chrono::milliseconds wait) override { hooks_.serve(wait); }

 private:
  struct Shared;
  Hooks hooks_;
  std::shared_ptr<Shared> shared_;  // outlives posted tasks that run late
};

}  // namespace orvelle::serial
