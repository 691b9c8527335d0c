// The worker pool behind the server: reuse of idle workers, growth while all are busy, the
// retiring of idle workers beyond the kept number, and no worker left after the owner is gone.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "http/http_server.h"
#include "http/thread_manager.h"
#include "process_counts.h"
#include "test_client.h"

namespace orvelle::http {
namespace {

using namespace orvelle::http::testing;

// Accepted server-side connections for driving the pool without a server around it.
class LoopbackPairs {
 public:
  LoopbackPairs() {
    listener_.IP = "127.0.0.1";
    listener_.Bind();
    listener_.Listen(16);
  }
  // Connects a client and returns the accepted side, or nullptr when it could not be had.
  std::unique_ptr<TTCPConnection> Next() {
    base::UniqueFd client = Connect(listener_.Port);
    if (!client.Valid()) return nullptr;
    clients_.push_back(std::move(client));
    for (int i = 0; i < 1000; ++i) {  // the listener is non-blocking; the peer is queued already
      TSocketHandle accepted = listener_.Accept();
      if (accepted.HandleAllocated()) {
        return std::make_unique<TTCPConnection>(std::move(accepted), TConnectionTimeouts{});
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return nullptr;
  }
  int LastClient() const { return clients_.back().Get(); }

 private:
  TSocketHandle listener_;
  std::vector<base::UniqueFd> clients_;
};

// Bodies that hold their worker until `count` of them run at once, or until a bound passes.
class Rendezvous {
 public:
  explicit Rendezvous(int count) : count_(count) {}
  void Arrive() {
    std::unique_lock lock(mutex_);
    ++arrived_;
    all_.notify_all();
    if (!all_.wait_for(lock, std::chrono::seconds(10), [this] { return arrived_ >= count_; })) {
      missed_ = true;
    }
  }
  bool Missed() {
    std::lock_guard lock(mutex_);
    return missed_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable all_;
  const int count_;
  int arrived_ = 0;
  bool missed_ = false;
};

// One connection at a time needs at most the worker that serves it and the one that waits in
// its place meanwhile (which of the two takes the next connection depends on which is back on
// the wait first), so twenty connections in a row must not make twenty threads.
TEST(ThreadPoolTest, SequentialConnectionsAreServedByReusedWorkers) {
  const std::size_t threads_before = ThreadCount();
  {
    THTTPServer server;
    std::mutex mutex;
    std::set<std::thread::id> workers;
    server.OnCommandGet = [&](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
      std::lock_guard lock(mutex);
      workers.insert(std::this_thread::get_id());
      response.ContentText = "ok";
    };
    const int port = StartOnLoopback(server);
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(SplitResponse(Exchange(port, "GET / HTTP/1.1\r\n\r\n").bytes).body, "ok");
      // Once the count is back to zero the worker is idle again and must take the next one.
      ASSERT_TRUE(Eventually([&] { return server.ConnectionCount() == 0; }));
    }
    std::lock_guard lock(mutex);
    EXPECT_LE(workers.size(), 2u);
  }
  EXPECT_TRUE(ThreadsSettleAt(threads_before))
      << ThreadCount() << " threads, " << threads_before << " before";
}

// The worker serving a handler that does not return leaves no connection waiting for long: a
// standing-by worker steps in and serves the others meanwhile. The slow request comes right
// after a fast one, within the vacancy bound that the fast one's turn started, so the watcher
// must wait out the rest of the bound for the slow one rather than give up when it first wakes.
TEST(ThreadPoolTest, SlowHandlerDoesNotHoldUpOtherConnections) {
  const std::size_t threads_before = ThreadCount();
  {
    THTTPServer server;
    std::mutex mutex;
    std::condition_variable release;
    bool released = false;
    server.OnCommandGet = [&](TPeerThread&, THTTPRequestInfo& request,
                              THTTPResponseInfo& response) {
      if (request.Document == "/slow") {
        std::unique_lock lock(mutex);
        release.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
      }
      response.ContentText = "ok";
    };
    const int port = StartOnLoopback(server);
    EXPECT_EQ(SplitResponse(Exchange(port, "GET /fast HTTP/1.1\r\n\r\n").bytes).body, "ok");
    base::UniqueFd slow = Connect(port);
    ASSERT_TRUE(SendAll(slow.Get(), "GET /slow HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(Eventually([&] { return server.ConnectionCount() == 1; }));
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(SplitResponse(Exchange(port, "GET /fast HTTP/1.1\r\n\r\n").bytes).body, "ok");
    }
    {
      std::lock_guard lock(mutex);
      EXPECT_FALSE(released);
      released = true;
    }
    release.notify_all();
    EXPECT_EQ(SplitResponse(ReadAll(slow.Get()).bytes).body, "ok");
  }
  EXPECT_TRUE(ThreadsSettleAt(threads_before))
      << ThreadCount() << " threads, " << threads_before << " before";
}

// The hook through which a worker hands over the waiting for connections runs once, and only
// when the connection has to wait for its client.
TEST(ThreadPoolTest, FirstWaitHookRunsOnceWhenTheClientKeepsTheConnectionWaiting) {
  LoopbackPairs pairs;
  auto connection = pairs.Next();
  ASSERT_NE(connection, nullptr);
  const int client = pairs.LastClient();
  std::atomic<int> calls{0};
  connection->OnFirstWait([&calls] { ++calls; });
  ASSERT_TRUE(SendAll(client, "ready"));
  pollfd readable{connection->Binding().Handle(), POLLIN, 0};
  ASSERT_EQ(::poll(&readable, 1, kClientTimeoutSeconds * 1000), 1);
  EXPECT_EQ(connection->ReceiveChunk(), "ready");
  connection->DiscardInput();
  EXPECT_EQ(calls, 0) << "no wait was needed";
  for (const char* late : {"late", "later"}) {
    // The first time only once the reader is about to wait: a fixed delay may pass before the
    // reader gets there on a busy machine. The second time a delay lets it wait again, most
    // likely; whether it does or not, the hook must not run again.
    std::thread sender([client, late, &calls] {
      if (calls == 0) {
        Eventually([&calls] { return calls > 0; });
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      SendAll(client, late);
    });
    EXPECT_EQ(connection->ReceiveChunk(), late);
    connection->DiscardInput();
    sender.join();
    EXPECT_EQ(calls, 1);
  }
}

TEST(ThreadPoolTest, PoolGrowsForABurstAndRetiresIdleWorkersDownToTheKeptNumber) {
  constexpr int kBurst = 5;
  constexpr std::size_t kKeep = 2;
  const std::size_t threads_before = ThreadCount();
  std::atomic<int> retired{0};
  {
    TThreadMgrDefault pool([&retired] { ++retired; },
                           TThreadPoolLimits{kKeep, std::chrono::milliseconds(20)});
    LoopbackPairs pairs;
    Rendezvous together(kBurst);
    std::atomic<int> served{0};
    for (int i = 0; i < kBurst; ++i) {
      auto connection = pairs.Next();
      ASSERT_NE(connection, nullptr);
      pool.Start(std::move(connection), [&](TPeerThread&) {
        together.Arrive();
        ++served;
      });
    }
    ASSERT_TRUE(Eventually([&] { return pool.Count() == 0; }));
    EXPECT_FALSE(together.Missed()) << "the burst did not get a worker per connection";
    EXPECT_EQ(served, kBurst);

    // Extra idle workers retire and are joined; the kept ones stay.
    EXPECT_TRUE(Eventually([&] {
      pool.Reap();
      return pool.WorkerCount() == kKeep && ThreadCount() <= threads_before + kKeep;
    }));
    EXPECT_EQ(retired, kBurst - static_cast<int>(kKeep));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // ten idle waits
    pool.Reap();
    EXPECT_EQ(pool.WorkerCount(), kKeep) << "kept workers must not retire";

    // A new connection goes to a kept worker rather than a new thread.
    auto connection = pairs.Next();
    ASSERT_NE(connection, nullptr);
    pool.Start(std::move(connection), [&](TPeerThread&) { ++served; });
    EXPECT_EQ(pool.WorkerCount(), kKeep);
    EXPECT_TRUE(pool.WaitIdle(std::chrono::seconds(10)));
    EXPECT_EQ(served, kBurst + 1);
  }
  EXPECT_TRUE(ThreadsSettleAt(threads_before))
      << ThreadCount() << " threads, " << threads_before << " before";
}

TEST(ThreadPoolTest, AbortReachesAConnectionBlockedInAReadAndTheWorkerServesAgain) {
  const std::size_t threads_before = ThreadCount();
  {
    TThreadMgrDefault pool([] {});
    LoopbackPairs pairs;
    std::atomic<bool> stop_seen{false};
    std::atomic<bool> entered{false};
    std::atomic<int> served{0};
    auto blocked = pairs.Next();
    ASSERT_NE(blocked, nullptr);
    pool.Start(std::move(blocked), [&](TPeerThread& peer) {
      entered = true;
      try {
        peer.Connection().ReceiveChunk();  // the client never sends
      } catch (const std::exception&) {
      }
      stop_seen = peer.StopRequested();
      ++served;
    });
    ASSERT_TRUE(Eventually([&] { return entered.load(); }));
    EXPECT_EQ(pool.Count(), 1u);
    pool.AbortAll();
    EXPECT_TRUE(pool.WaitIdle(std::chrono::seconds(10)));
    EXPECT_TRUE(stop_seen);

    // A reused worker gets a fresh peer: the earlier stop request does not carry over.
    std::atomic<bool> stale_stop{true};
    auto next = pairs.Next();
    ASSERT_NE(next, nullptr);
    pool.Start(std::move(next), [&](TPeerThread& peer) {
      stale_stop = peer.StopRequested();
      ++served;
    });
    EXPECT_TRUE(pool.WaitIdle(std::chrono::seconds(10)));
    EXPECT_FALSE(stale_stop);
    EXPECT_EQ(served, 2);
    EXPECT_EQ(pool.WorkerCount(), 1u);
  }
  EXPECT_TRUE(ThreadsSettleAt(threads_before))
      << ThreadCount() << " threads, " << threads_before << " before";
}

}  // namespace
}  // namespace orvelle::http
