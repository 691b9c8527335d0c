// The wake fd and one single-shot timer are all Qt needs to know about the loop: every post,
// timer start and Quit writes to the fd, and the loop says when its next timer is due.
#include "loop_driver.h"

#include <chrono>

namespace orvelle::ui {
namespace {

// A loop timer restarted later than planned only costs one early, empty round; this bounds the
// sleep so a missed change can never delay a timer by more than this.
constexpr std::chrono::milliseconds kMaxSleep{1000};

}  // namespace

LoopDriver::LoopDriver(app::MainLoop& loop, QObject* parent)
    : QObject(parent), loop_(loop), wake_(loop.WakeFd(), QSocketNotifier::Read) {
  next_due_.setSingleShot(true);
  connect(&wake_, &QSocketNotifier::activated, this, &LoopDriver::RunReady);
  connect(&next_due_, &QTimer::timeout, this, &LoopDriver::RunReady);
  // Tasks posted before the driver existed (the greeting lines) wait for the first round.
  next_due_.start(0);
}

void LoopDriver::RunReady() {
  loop_.RunOnce(std::chrono::milliseconds(0));
  next_due_.start(loop_.TimeToWork(kMaxSleep));
}

}  // namespace orvelle::ui
