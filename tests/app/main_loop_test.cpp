// Tests of the main loop: posted tasks in order, invoke-and-wait from other threads and on the
// main thread, quitting, watched fds, and timers (start, restart, stop, interval 0).
#include "app/main_loop.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace orvelle::app {
namespace {

using std::chrono::milliseconds;

// Every loop below gives up after this long; no test waits beyond it.
constexpr auto kWaitLimit = std::chrono::seconds(20);

// Runs the loop on this thread until `done` holds or the limit passes.
template <typename Predicate>
bool RunUntil(MainLoop& loop, Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    loop.RunOnce(milliseconds(10));
  }
  return true;
}

TEST(MainLoopTest, PostedTasksRunInOrderOnTheLoopThread) {
  MainLoop loop;
  std::vector<int> order;
  std::thread::id ran_on;
  std::jthread poster([&] {
    for (int i = 0; i < 5; ++i)
      loop.Post([&, i] {
        order.push_back(i);
        ran_on = std::this_thread::get_id();
      });
  });
  poster.join();
  ASSERT_TRUE(RunUntil(loop, [&] { return order.size() == 5; }));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(MainLoopTest, InvokeAndWaitRunsOnMainThreadBeforeReturning) {
  MainLoop loop;
  int value = 0;
  std::atomic<bool> returned{false};
  std::thread::id ran_on;
  std::jthread caller([&] {
    EXPECT_TRUE(loop.InvokeAndWait([&] {
      value = 7;
      ran_on = std::this_thread::get_id();
    }));
    EXPECT_EQ(value, 7);
    returned = true;
  });
  ASSERT_TRUE(RunUntil(loop, [&] { return returned.load(); }));
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(MainLoopTest, InvokeAndWaitOnMainThreadRunsAtOnce) {
  MainLoop loop;
  int value = 0;
  EXPECT_TRUE(loop.InvokeAndWait([&] { value = 3; }));
  EXPECT_EQ(value, 3);
}

TEST(MainLoopTest, QuitReleasesWaitersAndDropsPosts) {
  MainLoop loop;
  std::atomic<int> result{-1};
  std::jthread caller([&] { result = loop.InvokeAndWait([] {}) ? 1 : 0; });
  loop.Quit();
  caller.join();
  EXPECT_EQ(result.load(), 0);
  int ran = 0;
  loop.Post([&] { ++ran; });
  loop.RunOnce(milliseconds(0));
  EXPECT_EQ(ran, 0);
  EXPECT_TRUE(loop.Quitting());
}

TEST(MainLoopTest, RunEndsOnQuitFromAnotherThread) {
  MainLoop loop;
  std::jthread quitter([&] { loop.Post([&] { loop.Quit(); }); });
  loop.Run();
  EXPECT_TRUE(loop.Quitting());
}

TEST(MainLoopTest, WatchedFdCallsHandlerOnMainThread) {
  MainLoop loop;
  base::UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  int calls = 0;
  loop.WatchFd(fd.Get(), [&] {
    std::uint64_t count;
    if (::read(fd.Get(), &count, sizeof count) == sizeof count) ++calls;
  });
  const std::uint64_t one = 1;
  ASSERT_EQ(::write(fd.Get(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
  EXPECT_TRUE(RunUntil(loop, [&] { return calls == 1; }));
}

TEST(MainLoopTest, TimerFiresRepeatedlyUntilStopped) {
  MainLoop loop;
  int fired = 0;
  LoopTimer timer(loop, [&] { ++fired; });
  EXPECT_FALSE(timer.Enabled());
  timer.Start(milliseconds(5));
  EXPECT_TRUE(timer.Enabled());
  ASSERT_TRUE(RunUntil(loop, [&] { return fired >= 3; }));
  timer.Stop();
  const int at_stop = fired;
  loop.RunOnce(milliseconds(30));
  EXPECT_EQ(fired, at_stop);
}

TEST(MainLoopTest, ZeroIntervalTimerStaysEnabledAndNeverFires) {
  MainLoop loop;
  int zero_fired = 0;
  int other_fired = 0;
  LoopTimer zero(loop, [&] { ++zero_fired; });
  LoopTimer other(loop, [&] { ++other_fired; });
  zero.Start(milliseconds(0));
  other.Start(milliseconds(2));
  ASSERT_TRUE(RunUntil(loop, [&] { return other_fired >= 5; }));
  EXPECT_EQ(zero_fired, 0);
  EXPECT_TRUE(zero.Enabled());
}

TEST(MainLoopTest, StopUnlessRestartedSeesRestartAfterFiring) {
  MainLoop loop;
  bool restart_in_handler = true;
  std::vector<bool> stopped;
  LoopTimer* self = nullptr;
  LoopTimer timer(loop, [&] {
    if (restart_in_handler) self->Restart();  // a request refreshing the session meanwhile
    stopped.push_back(self->StopUnlessRestarted());
    restart_in_handler = false;
  });
  self = &timer;
  timer.Start(milliseconds(2));
  ASSERT_TRUE(RunUntil(loop, [&] { return stopped.size() == 2; }));
  EXPECT_EQ(stopped, (std::vector<bool>{false, true}));
  EXPECT_FALSE(timer.Enabled());
}

}  // namespace
}  // namespace orvelle::app
