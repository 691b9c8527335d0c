// The serial event thread's way onto the main thread: TPostedSync over app::MainLoop's post,
// and, for a main-thread Close, one round of the loop at a time.
#pragma once

#include "app/main_loop.h"
#include "serial/posted_sync.h"

namespace orvelle::app {

inline serial::TPostedSync::Hooks MainLoopSyncHooks(MainLoop& loop) {
  return {[&loop](serial::TPostedSync::Task task) { loop.Post(std::move(task)); },
          [&loop] { return loop.IsMainThread(); },
          [&loop](std::chrono::milliseconds wait) { loop.RunOnce(wait); }};
}

}  // namespace orvelle::app
