// The demo device's thread: the simulator's loop, stopped through an eventfd.
#include "demo_device.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace orvelle::app {
namespace {

// Replies come quickly enough to watch, slowly enough to see a polling loop wait for them.
constexpr std::chrono::milliseconds kReplyDelay{100};
// A stream line every quarter second keeps a page that polls readable.
constexpr std::chrono::milliseconds kStreamInterval{250};

tools::SimulatorOptions DemoOptions() {
  tools::SimulatorOptions options;
  options.delay = kReplyDelay;
  options.stream_interval = kStreamInterval;
  return options;
}

}  // namespace

DemoDevice::DemoDevice(MovedSink on_moved)
    : on_moved_(std::move(on_moved)),
      stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      simulator_(DemoOptions(), [this](const std::string& path) { OnPath(path); }) {
  if (!stop_.Valid()) {
    throw std::runtime_error(std::string("cannot create an eventfd: ") + std::strerror(errno));
  }
  if (!simulator_.BringUp()) {
    throw std::runtime_error(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
  }
  thread_ = std::jthread([this] { simulator_.Run(stop_.Get()); });
}

DemoDevice::~DemoDevice() {
  const std::uint64_t one = 1;
  // Without the wake-up the join below would wait forever, so a failed write is not an option
  // we can recover from; eventfd writes of 1 cannot fail short of a counter overflow.
  [[maybe_unused]] const ssize_t n = ::write(stop_.Get(), &one, sizeof one);
  if (thread_.joinable()) thread_.join();
}

std::string DemoDevice::Path() const {
  std::lock_guard lock(mutex_);
  return path_;
}

void DemoDevice::OnPath(const std::string& path) {
  bool moved = false;
  {
    std::lock_guard lock(mutex_);
    moved = !path_.empty();
    path_ = path;
  }
  if (moved && on_moved_) on_moved_(path);
}

}  // namespace orvelle::app
