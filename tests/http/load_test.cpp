// Many clients at once: every request answered, and no thread or descriptor left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "http/http_server.h"
#include "process_counts.h"
#include "test_client.h"

namespace orvelle::http {
namespace {

using namespace orvelle::http::testing;

constexpr int kClients = 32;
constexpr int kRequestsPerClient = 2000 / kClients + 1;  // at least 2,000 in all

TEST(LoadTest, ThousandsOfRequestsFromManyThreadsAreAllAnsweredWithoutLeaks) {
  const std::size_t threads_before = ThreadCount();
  const std::size_t fds_before = FdCount();
  std::atomic<int> handled{0};
  {
    THTTPServer server;
    server.OnCommandGet = [&handled](TPeerThread&, THTTPRequestInfo& request,
                                     THTTPResponseInfo& response) {
      ++handled;
      response.ContentText = "echo " + request.Document;
    };
    const int port = StartOnLoopback(server);
    std::atomic<int> answered{0};
    std::atomic<int> wrong{0};
    {
      std::vector<std::jthread> clients;
      for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
          for (int i = 0; i < kRequestsPerClient; ++i) {
            const std::string document = "/c" + std::to_string(c) + "/r" + std::to_string(i);
            const ReadResult result = Exchange(port, "GET " + document + " HTTP/1.1\r\n\r\n");
            const Response response = SplitResponse(result.bytes);
            if (result.eof && response.status_line == "HTTP/1.1 200 OK" &&
                response.body == "echo " + document) {
              ++answered;
            } else {
              ++wrong;
            }
          }
        });
      }
    }
    EXPECT_EQ(answered, kClients * kRequestsPerClient);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(handled, kClients * kRequestsPerClient);
    EXPECT_TRUE(Eventually([&] { return server.ConnectionCount() == 0; }));
  }
  EXPECT_TRUE(ThreadsSettleAt(threads_before)) << ThreadCount() << " threads, " << threads_before << " before";
  EXPECT_EQ(FdCount(), fds_before);
}

}  // namespace
}  // namespace orvelle::http
