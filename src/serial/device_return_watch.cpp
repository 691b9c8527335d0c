// The watch's thread: poll on a wake eventfd and an inotify descriptor, re-aim the watch, check.
#include "serial/device_return_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace orvelle::serial {
namespace fs = std::filesystem;
namespace {

// udev creates a node a moment before it sets its owner and mode: how often and how far apart
// a device that is there but refuses the open is tried again before waiting for the next change.
constexpr int kRetryLimit = 5;
constexpr int kRetryDelayMs = 200;
// Whatever changes a folder's entries or the device's mode; the rest cannot bring a device back.
constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The kernel's event queue is bounded, so a few rounds empty it; the bound only guards the loop.
constexpr int kDrainRounds = 64;

void Signal(int event_fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(event_fd, &one, sizeof one);
}

}  // namespace

DeviceReturnWatch::DeviceReturnWatch(Check check)
    : check_(std::move(check)),
      wake_event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      inotify_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
  if (!wake_event_.Valid()) throw std::system_error(errno, std::generic_category(), "eventfd");
  if (!inotify_.Valid()) throw std::system_error(errno, std::generic_category(), "inotify_init1");
  thread_ = std::jthread([this](std::stop_token stop) { Loop(stop); });
}

DeviceReturnWatch::~DeviceReturnWatch() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

void DeviceReturnWatch::Watch(fs::path path) {
  {
    std::lock_guard hold(lock_);
    path_ = std::move(path);
  }
  Wake();
}

void DeviceReturnWatch::Forget() {
  {
    std::lock_guard hold(lock_);
    path_.clear();
  }
  Wake();  // so the thread drops its inotify watch now rather than at the next event
}

void DeviceReturnWatch::Wake() {
  Signal(wake_event_.Get());
}

void DeviceReturnWatch::Loop(std::stop_token stop) {
  std::stop_callback wake(stop, [this] { Wake(); });
  int retries_left = 0;
  while (!stop.stop_requested()) {
    pollfd set[2] = {{wake_event_.Get(), POLLIN, 0}, {inotify_.Get(), POLLIN, 0}};
    const int ready = ::poll(set, 2, retries_left > 0 ? kRetryDelayMs : -1);
    if (ready < 0 && errno != EINTR) break;
    Drain(wake_event_.Get());
    Drain(inotify_.Get());
    if (stop.stop_requested()) break;
    // Aim first, look second: whatever appears after the look wakes the thread again.
    Arm();
    const Outcome outcome = check_();
    checks_.fetch_add(1);
    if (outcome != Outcome::kRetry) {
      retries_left = 0;
    } else if (ready != 0) {
      retries_left = kRetryLimit;  // a change near the path starts a new series
    } else {
      --retries_left;
    }
  }
}

void DeviceReturnWatch::Arm() {
  fs::path path;
  {
    std::lock_guard hold(lock_);
    path = path_;
  }
  // The folder, or the nearest ancestor that takes a watch: one that vanishes between a look
  // and the watch simply refuses it. Adding a folder watched already gives back the same
  // descriptor; a folder made anew (or another one) gives a new one, and the old watch goes.
  int watch = -1;
  for (fs::path folder = path.parent_path(); !path.empty(); folder = folder.parent_path()) {
    watch = ::inotify_add_watch(inotify_.Get(), folder.c_str(), kFolderEvents);
    if (watch >= 0 || folder.empty() || folder == folder.root_path()) break;
  }
  if (watch_ >= 0 && watch != watch_) ::inotify_rm_watch(inotify_.Get(), watch_);
  watch_ = watch;
}

void DeviceReturnWatch::Drain(int fd) const {
  alignas(inotify_event) char buffer[4096];
  for (int round = 0; round < kDrainRounds; ++round) {
    if (::read(fd, buffer, sizeof buffer) <= 0) return;
  }
}

}  // namespace orvelle::serial
