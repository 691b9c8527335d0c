// The event thread on real pseudo-terminals: delivery on the main thread and on its own thread,
// the count a receive event reports, the end on close and on hang-up, a failing handler, and a
// main-thread close while a delivery waits.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "main_queue.h"
#include "pty_pair.h"
#include "serial/serial_port.h"

namespace orvelle::serial {
namespace {

// Lets the event thread work while the test waits.
void Nap() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

using test::MainQueue;
using test::PtyPair;
using test::WaitUntil;

// A port whose receive handler appends what it reads, like the program's own handler.
class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.SetPort(pty.Path());
    port.SetSyncTarget(&main.Target());
    port.OnRxChar = [this](int count) {
      const std::string bytes = port.ReadText(count);
      std::lock_guard hold(lock);
      received += bytes;
      counts.push_back(count);
      on_main = on_main && std::this_thread::get_id() == main_id;
    };
  }
  std::string Received() {
    std::lock_guard hold(lock);
    return received;
  }
  bool ServeUntilReceived(std::size_t size) {
    return WaitUntil([&] { return Received().size() >= size; }, [&] { main.Serve(); });
  }

  PtyPair pty;
  MainQueue main;
  std::thread::id main_id = std::this_thread::get_id();
  TSerialPort port;
  std::mutex lock;
  std::string received;
  std::vector<int> counts;
  bool on_main = true;
};

TEST_F(ThreadTest, ThreadSyncDeliversOnTheMainThread) {
  port.Open();
  pty.Write("first");
  ASSERT_TRUE(ServeUntilReceived(5));
  pty.Write(" second");
  ASSERT_TRUE(ServeUntilReceived(12));
  EXPECT_EQ(Received(), "first second");
  EXPECT_TRUE(on_main);
  port.Close();
}

// While the main thread is busy the bytes wait in the driver; one event reports all of them.
TEST_F(ThreadTest, CountIsWhatWaitsAtDelivery) {
  port.Open();
  pty.Write("a");
  ASSERT_TRUE(WaitUntil([&] { return main.Pending() > 0; }, Nap));
  pty.Write("bcdef");
  // Let the driver take the second write before the waiting delivery runs.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const int fd = port.DeviceHandle();
        return WaitingBytes(fd) == 6;
      },
      Nap));
  ASSERT_TRUE(ServeUntilReceived(6));
  EXPECT_EQ(Received(), "abcdef");
  ASSERT_FALSE(counts.empty());
  EXPECT_EQ(counts.front(), 6);
  port.Close();
}

TEST_F(ThreadTest, NoSyncMethodDeliversOnTheEventThread) {
  port.SetSyncMethod(TSyncMethod::smNone);
  port.Open();
  pty.Write("direct");
  ASSERT_TRUE(WaitUntil([&] { return Received().size() >= 6; }, Nap));
  EXPECT_EQ(Received(), "direct");
  EXPECT_FALSE(on_main);
  EXPECT_EQ(main.Pending(), 0u);
  port.Close();
}

TEST_F(ThreadTest, NoEventsNoThreadNoReceiveEvents) {
  port.SetEvents(0);
  port.Open();
  pty.Write("quiet");
  ASSERT_TRUE(WaitUntil([&] { return port.QueuedInput() == 5; }, [&] { main.Serve(); }));
  main.Serve();
  EXPECT_EQ(Received(), "");
  EXPECT_EQ(main.Pending(), 0u);
  port.Close();
}

// Closing on the main thread while the event thread waits for it: the waiting batch runs
// during the wait (and finds the queue already purged) and the close completes.
TEST_F(ThreadTest, MainThreadCloseWhileDeliveryWaits) {
  port.Open();
  pty.Write("pending");
  ASSERT_TRUE(WaitUntil([&] { return main.Pending() > 0; }, Nap));
  port.Close();
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(main.Pending(), 0u);  // served during the wait, not left behind
  EXPECT_EQ(Received(), "");
}

// Closing from another thread while the main thread serves nothing: the event thread gives up
// its delivery instead of waiting forever.
TEST_F(ThreadTest, OtherThreadCloseWhileMainIsBusy) {
  port.Open();
  pty.Write("x");
  ASSERT_TRUE(WaitUntil([&] { return main.Pending() > 0; }, Nap));
  std::thread closer([&] { port.Close(); });
  closer.join();
  EXPECT_FALSE(port.Connected());
  main.Serve();  // the abandoned delivery must not run
  EXPECT_EQ(Received(), "");
}

TEST_F(ThreadTest, UnreadBytesAreDroppedAtClose) {
  port.OnRxChar = nullptr;
  port.Open();
  pty.Write("stale");
  ASSERT_TRUE(WaitUntil([&] { return port.QueuedInput() == 5; }, [&] { main.Serve(); }));
  port.Close();
  port.SetEvents(0);
  port.Open();
  EXPECT_EQ(port.QueuedInput(), 0);
  EXPECT_EQ(port.ReadText(10), "");
}

// A handler that leaves bytes unread is told again only when more arrive, with the new total.
TEST_F(ThreadTest, UnreadBytesComeAgainOnlyWithMore) {
  port.SetSyncMethod(TSyncMethod::smNone);
  port.OnRxChar = [this](int count) {
    std::lock_guard hold(lock);
    counts.push_back(count);
  };
  auto last_count = [this] {
    std::lock_guard hold(lock);
    return counts.empty() ? 0 : counts.back();
  };
  port.Open();
  pty.Write("abc");
  ASSERT_TRUE(WaitUntil([&] { return last_count() == 3; }, Nap));
  const std::size_t told = [this] {
    std::lock_guard hold(lock);
    return counts.size();
  }();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));  // three looks of the watch
  {
    std::lock_guard hold(lock);
    EXPECT_EQ(counts.size(), told) << "the same bytes were reported again";
  }
  pty.Write("de");
  ASSERT_TRUE(WaitUntil([&] { return last_count() == 5; }, Nap));
  port.Close();
}

// While its input is claimed the event thread leaves it to the claimant, however many claims
// are held; the last release hands what is still waiting back to the thread at once.
TEST_F(ThreadTest, ClaimedInputIsLeftToTheClaimantUntilTheLastRelease) {
  port.SetSyncMethod(TSyncMethod::smNone);
  port.Open();
  std::optional<TInputClaim> outer(std::in_place, port);
  {
    const TInputClaim inner(port);
    pty.Write("held");
    ASSERT_TRUE(port.WaitForInput(std::chrono::seconds(2)));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(Received(), "") << "delivered while still claimed";
  EXPECT_EQ(port.QueuedInput(), 4);
  outer.reset();
  ASSERT_TRUE(WaitUntil([&] { return Received().size() >= 4; }, Nap));
  EXPECT_EQ(Received(), "held");
  pty.Write(" more");
  ASSERT_TRUE(WaitUntil([&] { return Received().size() >= 9; }, Nap));
  EXPECT_EQ(Received(), "held more");
  port.Close();
}

TEST_F(ThreadTest, FailingHandlerEndsDeliveryUntilReopened) {
  int calls = 0;
  port.OnRxChar = [&](int count) {
    ++calls;
    port.ReadText(count);
    throw std::runtime_error("handler failed");
  };
  port.Open();
  pty.Write("1");
  ASSERT_TRUE(WaitUntil([&] { return calls == 1; }, [&] { main.Serve(); }));
  // The thread's last act is to drop what waits; write after it has ended.
  ASSERT_TRUE(WaitUntil([&] { return !port.EventThreadRunning(); }, [&] { main.Serve(); }));
  pty.Write("2");
  ASSERT_TRUE(WaitUntil([&] { return port.QueuedInput() == 1; }, [&] { main.Serve(); }));
  main.Serve();
  EXPECT_EQ(calls, 1);
  port.Close();
  port.Open();
  pty.Write("3");
  ASSERT_TRUE(WaitUntil([&] { return calls == 2; }, [&] { main.Serve(); }));
  port.Close();
}

TEST_F(ThreadTest, WindowSyncReportsAndCarriesOn) {
  int calls = 0;
  std::string reported;
  port.SetSyncMethod(TSyncMethod::smWindowSync);
  port.OnSyncException = [&](const std::exception& error) { reported = error.what(); };
  port.OnRxChar = [&](int count) {
    ++calls;
    port.ReadText(count);
    throw std::runtime_error("handler failed");
  };
  port.Open();
  pty.Write("1");
  ASSERT_TRUE(WaitUntil([&] { return calls == 1; }, [&] { main.Serve(); }));
  pty.Write("2");
  ASSERT_TRUE(WaitUntil([&] { return calls == 2; }, [&] { main.Serve(); }));
  EXPECT_EQ(reported, "handler failed");
  port.Close();
}

// An unplugged device: the thread ends, writes fail, the port says it is closed, and it opens
// again once a device is back.
TEST_F(ThreadTest, HangUpEndsTheThreadAndReopenWorks) {
  port.Open();
  pty.HangUp();
  ASSERT_TRUE(WaitUntil([&] { return port.Lost(); }, [&] { main.Serve(); }));
  ASSERT_TRUE(WaitUntil([&] { return !port.EventThreadRunning(); }, [&] { main.Serve(); }));
  EXPECT_FALSE(port.Connected());
  try {
    port.WriteText("x");
    ADD_FAILURE() << "wrote to a hung-up device";
  } catch (const ESerialPort& error) {
    EXPECT_EQ(error.Code(), 2);
  }
  PtyPair back;
  port.SetPort(back.Path());
  port.Open();
  EXPECT_TRUE(port.Connected());
  back.Write("again");
  ASSERT_TRUE(ServeUntilReceived(5));
  EXPECT_EQ(Received(), "again");
  port.Close();
}

}  // namespace
}  // namespace orvelle::serial
