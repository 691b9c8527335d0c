// Clients that send little and often: the head's deadline, the body's minimum rate, and the
// eviction of unfinished connections when every slot is taken.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <future>
#include <thread>

#include "http/http_server.h"
#include "process_counts.h"
#include "test_client.h"

namespace orvelle::http {
namespace {

using namespace orvelle::http::testing;

constexpr std::chrono::milliseconds kTick{100};

bool ClosedByServer(int fd) {
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

struct Trickled {
  bool closed = false;
  std::chrono::steady_clock::duration lasted{};  // from the first byte to the close seen
};

// Sends `bytes` `step` at a time, one step per tick, until all are sent or the server closed.
Trickled Trickle(int fd, std::string_view bytes, std::size_t step) {
  Trickled result;
  const auto start = std::chrono::steady_clock::now();
  while (!bytes.empty() && !result.closed) {
    SendAll(fd, bytes.substr(0, step));
    bytes.remove_prefix(std::min(step, bytes.size()));
    std::this_thread::sleep_for(kTick);
    result.closed = ClosedByServer(fd);
  }
  result.lasted = std::chrono::steady_clock::now() - start;
  return result;
}

void AnswerOk(TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
  response.ContentText = "ok";
}

TEST(SlowClientTest, HeadTrickledByteByByteIsClosedAtItsDeadline) {
  TServerLimits limits;
  limits.Timeouts.Head = std::chrono::seconds(1);
  THTTPServer server(limits);
  server.OnCommandGet = AnswerOk;
  base::UniqueFd client = Connect(StartOnLoopback(server));
  // Each byte comes well within the idle bound; all 79 would take 8 s.
  const Trickled trickled =
      Trickle(client.Get(), "GET / HTTP/1.1\r\nX: " + std::string(60, 'a'), 1);
  EXPECT_TRUE(trickled.closed) << "the head was never bounded as a whole";
  // The server cannot close before its deadline, which runs from an accept after the first byte.
  EXPECT_GE(trickled.lasted, limits.Timeouts.Head) << "closed before the deadline";
  EXPECT_TRUE(ReadAll(client.Get()).bytes.empty());
}

TEST(SlowClientTest, BodyBelowTheMinimumRateIsCutAndAFairOneIsServed) {
  THTTPServer server;
  server.OnCommandGet = [](TPeerThread&, THTTPRequestInfo& request, THTTPResponseInfo& response) {
    response.ContentText = std::to_string(request.ParamText.size());
  };
  const int port = StartOnLoopback(server);
  const std::string head = "POST / HTTP/1.1\r\nContent-Length: 4000\r\n\r\n";
  struct Case {
    std::size_t step;  // bytes per tick
    bool served;
  };
  // 100 bytes/s lasts 40 s but is cut after the grace; 3 KB/s is done in 1.4 s.
  for (const Case c : {Case{10, false}, Case{300, true}}) {
    SCOPED_TRACE(c.step);
    base::UniqueFd client = Connect(port);
    SendAll(client.Get(), head);
    const std::string body(c.served ? 4000 : 400, 'b');
    const Trickled trickled = Trickle(client.Get(), body, c.step);
    EXPECT_EQ(trickled.closed, !c.served);
    const Response response = SplitResponse(ReadAll(client.Get()).bytes);
    EXPECT_EQ(response.status_line, c.served ? "HTTP/1.1 200 OK" : "");
    EXPECT_EQ(response.body, c.served ? "4000" : "");
  }
}

TEST(SlowClientTest, NewcomerTakesTheSlotOfTheOldestUnfinishedConnectionOnly) {
  TServerLimits limits;
  limits.MaxConnections = 4;
  THTTPServer server(limits);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> holding{0};
  server.OnCommandGet = [&](TPeerThread&, THTTPRequestInfo& request, THTTPResponseInfo& response) {
    if (request.Document == "/hold") {
      ++holding;
      released.wait_for(std::chrono::seconds(10));
    }
    response.ContentText = "ok";
  };
  const int port = StartOnLoopback(server);
  std::vector<base::UniqueFd> slow;
  for (std::size_t i = 0; i < limits.MaxConnections; ++i) {
    slow.push_back(Connect(port));
    SendAll(slow.back().Get(), "GET /hold");
    ASSERT_TRUE(Eventually([&] { return server.ConnectionCount() == i + 1; }));
  }
  const std::string plain = "GET / HTTP/1.1\r\n\r\n";
  EXPECT_EQ(SplitResponse(Exchange(port, plain).bytes).status_line, "HTTP/1.1 200 OK");
  EXPECT_TRUE(Eventually([&] { return ClosedByServer(slow[0].Get()); }));
  for (std::size_t i = 1; i < slow.size(); ++i) EXPECT_FALSE(ClosedByServer(slow[i].Get())) << i;

  // Every slot held by a complete request: nobody is evicted, the newcomer is turned away. The
  // plain exchange and the evicted connection may still count for a moment, and the holders'
  // heads must be in before the next one comes, or it would take the slot of one of them.
  for (std::size_t i = 1; i < slow.size(); ++i) SendAll(slow[i].Get(), " HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(Eventually([&] { return holding == 3 && server.ConnectionCount() == 3; }));
  slow[0] = Connect(port);
  SendAll(slow[0].Get(), "GET /hold HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(Eventually([&] { return holding == 4; }));
  EXPECT_EQ(SplitResponse(Exchange(port, plain).bytes).status_line,
            "HTTP/1.1 503 Service Unavailable");
  release.set_value();
  for (const base::UniqueFd& client : slow)
    EXPECT_EQ(SplitResponse(ReadAll(client.Get()).bytes).body, "ok");
}

}  // namespace
}  // namespace orvelle::http
