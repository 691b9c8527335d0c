// DeviceReturnWatch: one thread that waits for a device path to appear again and asks its owner
// whether the device can be taken now. It is woken by inotify on the folder that holds the path,
// or on that folder's nearest existing ancestor while the folder itself is gone (a by-id folder
// vanishes with the last adapter). Between wake-ups it sleeps without a time limit, except for a
// short, bounded series of retries when the device is there but not ready yet.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

#include "base/unique_fd.h"

namespace orvelle::serial {

class DeviceReturnWatch {
 public:
  enum class Outcome {
    kDone,   // nothing to wait for (any more)
    kWait,   // not there yet: look again at the next change near the path
    kRetry,  // there but not ready (permissions not set yet, briefly busy): look again soon
  };
  // Runs on the watch's thread after every wake-up; never while the watch's own lock is held,
  // so it may call Watch and Forget.
  using Check = std::function<Outcome()>;

  explicit DeviceReturnWatch(Check check);
  // Stops the thread and waits for it.
  ~DeviceReturnWatch();
  DeviceReturnWatch(const DeviceReturnWatch&) = delete;
  DeviceReturnWatch& operator=(const DeviceReturnWatch&) = delete;

  // From now on watches for `path` (replacing an earlier one), and checks at once.
  void Watch(std::filesystem::path path);
  // Watches nothing; the thread sleeps until the next Watch or Wake.
  void Forget();
  // Checks at once. Any thread may call it; it never blocks.
  void Wake();
  // How many checks have finished, so a caller can tell that a change has been looked at.
  std::uint64_t Checks() const { return checks_.load(); }

 private:
  void Loop(std::stop_token stop);
  // Points the inotify watch at the folder that holds the path, or its nearest existing
  // ancestor; none without a path.
  void Arm();
  void Drain(int fd) const;

  Check check_;
  base::UniqueFd wake_event_;
  base::UniqueFd inotify_;
  int watch_ = -1;  // the thread's own: the current inotify watch descriptor
  std::mutex lock_;
  std::filesystem::path path_;  // guarded by lock_
  std::atomic<std::uint64_t> checks_{0};
  std::jthread thread_;  // last: starts once everything above exists
};

}  // namespace orvelle::serial
