// The bounds a client cannot cross, and deactivation with live and stuck connections.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "http/exceptions.h"
#include "http/http_server.h"
#include "process_counts.h"
#include "test_client.h"

namespace orvelle::http {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using namespace orvelle::http::testing;

void AnswerOk(TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
  response.ContentText = "ok";
}

std::string StatusOf(int port, const std::string& raw, bool half_close = false) {
  return SplitResponse(Exchange(port, raw, half_close).bytes).status_line;
}

std::string RequestWithHeaders(std::size_t count) {
  std::string raw = "GET / HTTP/1.1\r\n";
  for (std::size_t i = 0; i < count; ++i) raw += "X-" + std::to_string(i) + ": v\r\n";
  return raw + "\r\n";
}

TEST(ServerLimitsTest, LineAndHeaderCountBoundsAnswer400AtTheirEdges) {
  THTTPServer server;
  server.OnCommandGet = AnswerOk;
  const int port = StartOnLoopback(server);
  const std::string target_at_limit(kMaxLineLength - std::string("GET / HTTP/1.1").size(), 'a');
  struct Case {
    std::string raw, status;
  };
  const std::vector<Case> cases = {
      {"GET /" + target_at_limit + " HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /" + target_at_limit + "a HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      // Over the limit without any line end: refused before the line completes.
      {std::string(kMaxLineLength + 100, 'G'), "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/1.1\r\nX: " + std::string(kMaxLineLength, 'v') + "\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
      {RequestWithHeaders(kMaxHeaderLines), "HTTP/1.1 200 OK"},
      {RequestWithHeaders(kMaxHeaderLines + 1), "HTTP/1.1 400 Bad Request"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw.substr(0, 40));
    EXPECT_EQ(StatusOf(port, c.raw), c.status);
  }
}

TEST(ServerLimitsTest, BodiesOverTheLimitAnswer413) {
  TServerLimits limits;
  limits.Request.MaxBodySize = 1000;
  THTTPServer small(limits);
  small.OnCommandGet = AnswerOk;
  const int small_port = StartOnLoopback(small);
  EXPECT_EQ(StatusOf(small_port, "POST / HTTP/1.1\r\n\r\n" + std::string(1000, 'b'), true),
            "HTTP/1.1 200 OK");
  EXPECT_EQ(StatusOf(small_port, "POST / HTTP/1.1\r\n\r\n" + std::string(1001, 'b'), true),
            "HTTP/1.1 413 Request Entity To Long");

  THTTPServer standard;
  standard.OnCommandGet = AnswerOk;
  const int port = StartOnLoopback(standard);
  const auto over = std::to_string(kMaxBodySize + 1);
  EXPECT_EQ(StatusOf(port, "POST / HTTP/1.1\r\nContent-Length: " + over + "\r\n\r\n"),
            "HTTP/1.1 413 Request Entity To Long");
  EXPECT_EQ(StatusOf(port, "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n"),
            "HTTP/1.1 413 Request Entity To Long");
}

TEST(ServerLimitsTest, SilentClientIsClosedWithoutResponse) {
  TServerLimits limits;
  limits.Timeouts.ReadIdle = std::chrono::milliseconds(200);
  THTTPServer server(limits);
  server.OnCommandGet = AnswerOk;
  const int port = StartOnLoopback(server);
  base::UniqueFd client = Connect(port);
  SendAll(client.Get(), "GET / HTTP/1.1\r\nHost: x\r\n");  // never finishes the header
  const ReadResult result = ReadAll(client.Get());
  EXPECT_TRUE(result.eof) << "the server kept waiting for the client";
  EXPECT_THAT(result.bytes, IsEmpty());
}

bool WaitForConnectionCount(const THTTPServer& server, std::size_t count) {
  for (int i = 0; i < 1000 && server.ConnectionCount() != count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return server.ConnectionCount() == count;
}

// A request read to its end is closed at once, even while the client keeps its socket; one with
// more input behind it lingers (closing would reset the response) until the client goes.
TEST(ServerLimitsTest, CloseWaitsForTheClientOnlyWhenInputIsLeft) {
  TServerLimits limits;
  limits.Timeouts.Linger = std::chrono::minutes(5);
  THTTPServer server(limits);
  server.OnCommandGet = AnswerOk;
  const int port = StartOnLoopback(server);

  base::UniqueFd complete = Connect(port);
  SendAll(complete.Get(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  const ReadResult answered = ReadAll(complete.Get());
  EXPECT_TRUE(answered.eof);
  EXPECT_EQ(SplitResponse(answered.bytes).status_line, "HTTP/1.1 200 OK");
  EXPECT_TRUE(WaitForConnectionCount(server, 0)) << "the server waited for the client to close";

  // Bytes that arrive while the handler runs stay unread in the socket.
  std::promise<void> more_sent;
  std::shared_future<void> more_sent_done = more_sent.get_future().share();
  std::promise<void> handler_entered;
  server.OnCommandGet = [more_sent_done, &handler_entered](TPeerThread&, THTTPRequestInfo&,
                                                           THTTPResponseInfo& response) {
    handler_entered.set_value();
    more_sent_done.wait_for(std::chrono::seconds(10));
    response.ContentText = "ok";
  };
  base::UniqueFd pipelined = Connect(port);
  SendAll(pipelined.Get(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_EQ(handler_entered.get_future().wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
  SendAll(pipelined.Get(), "GET /more HTTP/1.1\r\n");
  more_sent.set_value();
  const ReadResult first = ReadAll(pipelined.Get());
  EXPECT_TRUE(first.eof);
  EXPECT_EQ(SplitResponse(first.bytes).status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(server.ConnectionCount(), 1u) << "left input was not drained before the close";
  pipelined.Reset();
  EXPECT_TRUE(WaitForConnectionCount(server, 0));
}

// A client that stops reading must not pin its worker: once the send buffers are full and the
// stall bound passes, the connection is dropped.
TEST(ServerLimitsTest, ReaderThatStopsReadingIsDroppedAfterTheStallBound) {
  TServerLimits limits;
  limits.Timeouts.WriteStall = std::chrono::milliseconds(200);
  THTTPServer server(limits);
  server.OnCommandGet = [](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.ContentText.assign(64 * 1024 * 1024, 'x');  // far beyond both sockets' buffers
  };
  const int port = StartOnLoopback(server);
  base::UniqueFd client = Connect(port);
  const int small = 4096;
  ::setsockopt(client.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  SendAll(client.Get(), "GET / HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(Eventually([&] { return server.ConnectionCount() == 1; }));
  EXPECT_TRUE(WaitForConnectionCount(server, 0)) << "the stalled write was never given up";
}

// A header written on its own, announcing a body that never comes (as for HEAD), is held back
// for the body; the close must still send it.
TEST(ServerLimitsTest, HeaderWithoutItsBodyStillLeavesAtTheClose) {
  THTTPServer server;
  server.OnCommandGet = [](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
    response.ContentLength = 5;
    response.SendHeader();
  };
  const int port = StartOnLoopback(server);
  const ReadResult result = Exchange(port, "GET / HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(result.eof);
  const Response response = SplitResponse(result.bytes);
  EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(response.Header("Content-Length"), "5");
  EXPECT_TRUE(response.has_header_end);
}

TEST(ServerLimitsTest, ConnectionsOverTheLimitGet503AndOthersAreStillServed) {
  TServerLimits limits;
  limits.MaxConnections = 2;
  THTTPServer server(limits);
  server.OnCommandGet = AnswerOk;
  server.EvictUnfinished = false;  // the holders send nothing; here they keep their slots
  const int port = StartOnLoopback(server);
  std::vector<base::UniqueFd> holders;
  for (int i = 0; i < 2; ++i) holders.push_back(Connect(port));
  ASSERT_TRUE(Eventually([&] { return server.ConnectionCount() == 2; }));

  const ReadResult refused = Exchange(port, "GET / HTTP/1.1\r\n\r\n");
  EXPECT_THAT(refused.bytes, StartsWith("HTTP/1.1 503 Service Unavailable\r\n"));
  EXPECT_EQ(SplitResponse(refused.bytes).Header("Connection"), "close");
  EXPECT_TRUE(refused.eof);

  // A held connection still completes its request.
  SendAll(holders[0].Get(), "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(SplitResponse(ReadAll(holders[0].Get()).bytes).body, "ok");
  holders.clear();
  EXPECT_TRUE(Eventually([&] { return server.ConnectionCount() == 0; }));
  EXPECT_EQ(StatusOf(port, "GET / HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
}

TEST(ServerLimitsTest, DeactivationClosesLiveConnectionsAndServesAgainAfterwards) {
  THTTPServer server;
  server.OnCommandGet = AnswerOk;
  int port = StartOnLoopback(server);
  base::UniqueFd idle = Connect(port);
  SendAll(idle.Get(), "GET / HTT");
  ASSERT_TRUE(Eventually([&] { return server.ConnectionCount() == 1; }));
  server.Active(false);
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.ConnectionCount(), 0u);
  const ReadResult result = ReadAll(idle.Get());
  EXPECT_TRUE(result.eof);
  EXPECT_THAT(result.bytes, IsEmpty());
  EXPECT_FALSE(Connect(port).Valid()) << "still listening after deactivation";

  port = StartOnLoopback(server);
  EXPECT_EQ(StatusOf(port, "GET / HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
}

// A handler that ignores every stop request: deactivation must still return, and the server
// object must not be destroyed under the thread.
TEST(ServerLimitsTest, StuckHandlerDoesNotHoldDeactivationAndNoThreadOutlivesTheServer) {
  const std::size_t threads_before = ThreadCount();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> entered;
  std::atomic<bool> released_by_test{false};
  {
    THTTPServer server;
    server.TerminateWaitTime = std::chrono::milliseconds(100);
    server.OnCommandGet = [&](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
      entered.set_value();
      released_by_test = released.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
      response.ContentText = "late";
    };
    const int port = StartOnLoopback(server);
    base::UniqueFd client = Connect(port);
    SendAll(client.Get(), "GET / HTTP/1.1\r\n\r\n");
    entered.get_future().wait();
    server.Active(false);  // returns although the handler is still waiting
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.ConnectionCount(), 1u);
    release.set_value();
  }  // the destructor joins the handler's thread
  EXPECT_TRUE(released_by_test) << "deactivation waited for the stuck handler";
  EXPECT_TRUE(ThreadsSettleAt(threads_before))
      << ThreadCount() << " threads, " << threads_before << " before";
}

// Idle pool workers legitimately outlive their connections while the server lives, so the
// thread check is made once the server object is gone.
TEST(ServerLimitsTest, ClientLeavingMidResponseEndsTheConnectionWithoutLeaks) {
  const std::size_t threads_before = ThreadCount();
  const std::size_t fds_before = FdCount();
  {
    THTTPServer server;
    server.OnCommandGet = [](TPeerThread&, THTTPRequestInfo&, THTTPResponseInfo& response) {
      response.ContentText = std::string(32 * 1024 * 1024, 'x');  // far more than socket buffers
    };
    const int port = StartOnLoopback(server);
    for (int i = 0; i < 3; ++i) {
      base::UniqueFd client = Connect(port);
      SendAll(client.Get(), "GET / HTTP/1.1\r\n\r\n");
      char some[1024];
      ASSERT_GT(::recv(client.Get(), some, sizeof some, 0), 0);
      // Closing with unread data resets the connection under the writer.
    }
    EXPECT_TRUE(Eventually([&] { return server.ConnectionCount() == 0; }));
    EXPECT_EQ(StatusOf(port, "GET / HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
    server.Active(false);
    // The server's own wake-up eventfd and its worker pool's timer.
    EXPECT_EQ(FdCount(), fds_before + 2);
  }
  EXPECT_EQ(FdCount(), fds_before);
  EXPECT_TRUE(ThreadsSettleAt(threads_before))
      << ThreadCount() << " threads, " << threads_before << " before";
}

TEST(ServerLimitsTest, ListenerErrorTextsCarryTheSocketNumber) {
  // ESocketError's message format is what the application logs on a failed activation.
  const ESocketError error(10048);
  EXPECT_STREQ(error.what(), "Socket Error # 10048\r\nAddress already in use.");
  EXPECT_THAT(ESocketError(12345).what(), HasSubstr("Socket Error # 12345\r\n"));
}

}  // namespace
}  // namespace orvelle::http
