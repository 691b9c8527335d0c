// Invoke-and-wait with a give-up: each job records whether it began, under one lock.
#include "serial/posted_sync.h"

#include <condition_variable>
#include <mutex>

namespace orvelle::serial {

struct TPostedSync::Shared {
  std::mutex lock;
  std::condition_variable_any changed;
};

namespace {

struct Job {
  TPostedSync::Task task;
  bool started = false;
  bool done = false;
  bool abandoned = false;
};

}  // namespace

TPostedSync::TPostedSync(Hooks hooks)
    : hooks_(std::move(hooks)), shared_(std::make_shared<Shared>()) {}

TPostedSync::~TPostedSync() = default;

bool TPostedSync::InvokeAndWait(Task task, std::stop_token stop) {
  if (OnMainThread()) {
    task();
    return true;
  }
  auto job = std::make_shared<Job>();
  job->task = std::move(task);
  hooks_.post([shared = shared_, job] {
    {
      std::lock_guard hold(shared->lock);
      if (job->abandoned) return;
      job->started = true;
    }
    job->task();
    std::lock_guard hold(shared->lock);
    job->done = true;
    shared->changed.notify_all();
  });
  std::unique_lock hold(shared_->lock);
  shared_->changed.wait(hold, stop, [&] { return job->done; });
  if (job->done) return true;
  if (job->started) {
    // Already running on the main thread: it finishes soon and refers to our frame.
    shared_->changed.wait(hold, [&] { return job->done; });
    return true;
  }
  job->abandoned = true;
  return false;
}

}  // namespace orvelle::serial
