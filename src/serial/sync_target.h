// TSyncTarget: how the event thread has a batch delivered on the program's main thread, and how
// a main-thread Close keeps serving such deliveries while it waits for the thread to end.
#pragma once

#include <chrono>
#include <functional>
#include <stop_token>

namespace orvelle::serial {

class TSyncTarget {
 public:
  virtual ~TSyncTarget() = default;

  // Runs `task` on the main thread and waits until it has run. Gives up, returning false, when
  // `stop` is requested before the task began (so no thread waits on a main thread that is
  // itself waiting), or when the main thread no longer serves tasks.
  virtual bool InvokeAndWait(std::function<void()> task, std::stop_token stop) = 0;
  virtual bool OnMainThread() const = 0;
  // From the main thread: runs what is due, waiting at most `wait` for something to arrive.
  virtual void ServePending(std::chrono::milliseconds wait) = 0;
};

}  // namespace orvelle::serial
