// The plain TCP layer: OnExecute with line and byte reads, connection events, no handler.
#include "http/tcp_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <mutex>

#include "http/exceptions.h"
#include "process_counts.h"
#include "test_client.h"

namespace orvelle::http {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace orvelle::http::testing;

int StartPlain(TTCPServer& server) {
  server.Bindings().Clear();
  TSocketHandle& binding = server.Bindings().Add();
  binding.IP = "127.0.0.1";
  binding.Port = 0;
  server.Active(true);
  return server.Bindings()[0].Port;
}

TEST(TcpServerTest, ExecuteReadsLinesAndCountsAndEventsFramTheThread) {
  TTCPServer server;
  std::mutex mutex;
  std::vector<std::string> events;
  auto note = [&](std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  };
  server.OnDisconnect = [&](TPeerThread& thread) {
    note("disconnect " + thread.TerminatingMessage());
  };
  server.OnExecute = [&](TPeerThread& thread) {
    TTCPConnection& connection = thread.Connection();
    const std::string name = connection.ReadLn(64);
    const std::string count_text = connection.ReadLn(64);
    const std::string payload = connection.ReadBytes(std::stoul(count_text));
    connection.WriteLn(name + ":" + payload);
    note("execute");
    connection.Disconnect();
  };
  const int port = StartPlain(server);
  const ReadResult result = Exchange(port, "alpha\r\n5\nhello+rest");
  EXPECT_EQ(result.bytes, "alpha:hello\r\n");
  EXPECT_TRUE(Eventually([&] { return server.ConnectionCount() == 0; }));
  std::lock_guard lock(mutex);
  EXPECT_THAT(events, ElementsAre("execute", "disconnect "));
}

TEST(TcpServerTest, ReadsThatCannotCompleteEndTheThreadWithTheirMessage) {
  struct Case {
    std::string input;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no line end", "Connection Closed Gracefully."},
      {std::string(100, 'x') + "\n", "Socket Error # 10040\r\nMessage too long."},
  };
  TTCPServer server;
  std::mutex mutex;
  std::string message;
  server.OnExecute = [](TPeerThread& thread) { thread.Connection().ReadLn(64); };
  server.OnDisconnect = [&](TPeerThread& thread) {
    std::lock_guard lock(mutex);
    message = thread.TerminatingMessage();
  };
  const int port = StartPlain(server);
  for (const Case& c : cases) {
    const ReadResult result = Exchange(port, c.input, /*half_close=*/true);
    EXPECT_TRUE(result.eof);
    EXPECT_THAT(result.bytes, IsEmpty());
    EXPECT_TRUE(Eventually([&] { return server.ConnectionCount() == 0; }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(message, c.message);
  }
}

TEST(TcpServerTest, WithoutExecuteHandlerTheConnectionIsClosed) {
  TTCPServer server;
  std::mutex mutex;
  std::string message;
  server.OnDisconnect = [&](TPeerThread& thread) {
    std::lock_guard lock(mutex);
    message = thread.TerminatingMessage();
  };
  const int port = StartPlain(server);
  EXPECT_TRUE(Exchange(port, "x").eof);
  EXPECT_TRUE(Eventually([&] { return server.ConnectionCount() == 0; }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(message, "No execute handler found.");
}

TEST(TcpServerTest, EmptyBindingsListenOnAllInterfacesAtDefaultPort) {
  TTCPServer server;
  server.DefaultPort = 0;
  server.Active(true);
  ASSERT_EQ(server.Bindings().Count(), 1u);
  EXPECT_EQ(server.Bindings()[0].IP, "0.0.0.0");
  EXPECT_NE(server.Bindings()[0].Port, 0);
  EXPECT_TRUE(Connect(server.Bindings()[0].Port).Valid());
}

// An accepted connection knows the address it came in on, whether the listener was bound to that
// address or to all of them, and sends without waiting for delayed ACKs.
TEST(TcpServerTest, AcceptedConnectionsKnowTheirAddressAndSendAtOnce) {
  for (const std::string listen_ip : {"127.0.0.1", "0.0.0.0"}) {
    SCOPED_TRACE(listen_ip);
    TTCPServer server;
    std::mutex mutex;
    std::string seen;
    server.OnExecute = [&](TPeerThread& thread) {
      TTCPConnection& connection = thread.Connection();
      int nodelay = 0;
      socklen_t length = sizeof nodelay;
      ::getsockopt(connection.Binding().Handle(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &length);
      {
        std::lock_guard lock(mutex);
        seen = connection.Binding().IP + ":" + std::to_string(connection.Binding().Port) +
               " nodelay=" + std::to_string(nodelay != 0);
      }
      connection.WriteLn("ok");
      connection.Disconnect();
    };
    server.Bindings().Clear();
    TSocketHandle& binding = server.Bindings().Add();
    binding.IP = listen_ip;
    binding.Port = 0;
    server.Active(true);
    const int port = server.Bindings()[0].Port;
    EXPECT_EQ(Exchange(port, "").bytes, "ok\r\n");
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, "127.0.0.1:" + std::to_string(port) + " nodelay=1");
  }
}

}  // namespace
}  // namespace orvelle::http
