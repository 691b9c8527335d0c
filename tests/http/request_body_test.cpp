// What a request may carry: control bytes in its target, framing, body sizes alone and together,
// the interim 100 answer, and new clients served while uploads stall.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>

#include "http/http_server.h"
#include "process_counts.h"
#include "test_client.h"

namespace orvelle::http {
namespace {

using ::testing::StartsWith;
using namespace orvelle::http::testing;

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// A literal with NUL bytes in it, whole.
template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

std::string StatusOf(int port, const std::string& raw) {
  return SplitResponse(Exchange(port, raw).bytes).status_line;
}

// Reads what has arrived after the server had time to answer: at most `size` bytes.
std::string ReadSome(int fd, std::size_t size) {
  std::string bytes(size, '\0');
  const ssize_t n = ::recv(fd, bytes.data(), size, MSG_WAITALL);
  bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return bytes;
}

class RequestBodyTest : public ::testing::Test {
 protected:
  void Start(TServerLimits limits = {}) {
    server_.emplace(limits);
    server_->OnCommandGet = [this](TPeerThread&, THTTPRequestInfo& request,
                                   THTTPResponseInfo& response) {
      ++calls_;
      response.ContentText = "got " + std::to_string(request.ParamText.size());
    };
    port_ = StartOnLoopback(*server_);
  }

  std::optional<THTTPServer> server_;
  std::atomic<int> calls_{0};
  int port_ = 0;
};

TEST_F(RequestBodyTest, ControlBytesInTheTargetAnswer400AndReachNoHandler) {
  Start();
  const std::string refused[] = {
      Bytes("GET /plain.txt\0.ovs HTTP/1.1\r\n\r\n"),
      "GET /log.txt%00.ovs HTTP/1.1\r\n\r\n",
      "GET /a%0a.ovs HTTP/1.1\r\n\r\n",
      "GET /a%7f HTTP/1.1\r\n\r\n",
      "GET /a\x1b[2J HTTP/1.1\r\n\r\n",
      "POST /x.ovs?a=\x01 HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
  };
  for (const std::string& raw : refused) {
    SCOPED_TRACE(raw);
    EXPECT_EQ(StatusOf(port_, raw), "HTTP/1.1 400 Bad Request");
  }
  EXPECT_EQ(calls_, 0);
  // Encoded control bytes in the query are a parameter's business, and %20 is no control byte.
  EXPECT_EQ(StatusOf(port_, "GET /a%20b.ovs?x=%00%0A HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
  EXPECT_EQ(calls_, 1);
}

TEST_F(RequestBodyTest, FramingOtherThanLengthAnswers400) {
  Start();
  for (const std::string header :
       {"Transfer-Encoding: chunked", "transfer-encoding : identity", "Transfer-Encoding:"}) {
    SCOPED_TRACE(header);
    EXPECT_EQ(StatusOf(port_, "POST /p HTTP/1.1\r\n" + header + "\r\n\r\n5\r\nhello\r\n0\r\n\r\n"),
              "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(
        StatusOf(port_, "POST /p HTTP/1.1\r\nContent-Length: 5\r\n" + header + "\r\n\r\nhello"),
        "HTTP/1.1 400 Bad Request");
  }
  EXPECT_EQ(calls_, 0);
}

TEST_F(RequestBodyTest, OneMebibytePerBodyAnnouncedOrNot) {
  Start();
  const std::string full(kMaxBodySize, 'b');
  EXPECT_EQ(SplitResponse(Exchange(port_, "POST / HTTP/1.1\r\nContent-Length: " +
                                              std::to_string(full.size()) + "\r\n\r\n" + full)
                              .bytes)
                .body,
            "got " + std::to_string(full.size()));
  EXPECT_EQ(StatusOf(port_, "POST / HTTP/1.1\r\nContent-Length: " +
                                std::to_string(kMaxBodySize + 1) + "\r\n\r\n"),
            "HTTP/1.1 413 Request Entity To Long");
  EXPECT_EQ(SplitResponse(Exchange(port_, "POST / HTTP/1.1\r\n\r\n" + full, true).bytes).body,
            "got " + std::to_string(full.size()));
  EXPECT_EQ(SplitResponse(Exchange(port_, "POST / HTTP/1.1\r\n\r\n" + full + "b", true).bytes)
                .status_line,
            "HTTP/1.1 413 Request Entity To Long");
}

// "100 Continue" only for a body that will be read; any other answer is the final one at once.
TEST_F(RequestBodyTest, ExpectContinueIsAnsweredBeforeTheBodyOnlyWhenItWillBeRead) {
  TServerLimits limits;
  limits.MaxBodiesInMemory = 100;
  limits.Timeouts.MinBodyRate = 0;
  Start(limits);
  base::UniqueFd client = Connect(port_);
  SendAll(client.Get(), "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
  ASSERT_EQ(ReadSome(client.Get(), kContinue.size()), kContinue);
  SendAll(client.Get(), "hello");
  EXPECT_EQ(SplitResponse(ReadAll(client.Get()).bytes).body, "got 5");

  const std::string over = std::to_string(kMaxBodySize + 1);
  EXPECT_EQ(SplitResponse(Exchange(port_,
                                   "POST / HTTP/1.1\r\nExpect: 100-continue\r\n"
                                   "Content-Length: " +
                                       over + "\r\n\r\n")
                              .bytes)
                .status_line,
            "HTTP/1.1 413 Request Entity To Long");
  EXPECT_EQ(SplitResponse(Exchange(port_,
                                   "POST / HTTP/1.1\r\nExpect: 100-continue\r\n"
                                   "Content-Length: 101\r\n\r\n")
                              .bytes)
                .status_line,
            "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(calls_, 1);
}

TEST_F(RequestBodyTest, BodiesBeingReadTogetherStayWithinTheirBudget) {
  TServerLimits limits;
  limits.Request.MaxBodySize = 1000;
  limits.MaxBodiesInMemory = 2500;
  limits.Timeouts.MinBodyRate = 0;  // the pending uploads are slow, not cut
  Start(limits);
  const std::string head = "POST / HTTP/1.1\r\nContent-Length: 1000\r\n\r\n";
  std::vector<base::UniqueFd> pending;
  for (int i = 0; i < 2; ++i) {
    pending.push_back(Connect(port_));
    SendAll(pending.back().Get(), head + "0123456789");
  }
  ASSERT_TRUE(Eventually([&] { return server_->BodyBytesHeld() == 2000; }));
  // The newcomer's 1000 would pass the budget: turned away before any of its body is read.
  EXPECT_EQ(StatusOf(port_, head), "HTTP/1.1 503 Service Unavailable");
  // A small one still fits, and a body of unknown length is held to the budget as it grows.
  EXPECT_EQ(SplitResponse(Exchange(port_, "POST / HTTP/1.1\r\nContent-Length: 400\r\n\r\n" +
                                              std::string(400, 'b'))
                              .bytes)
                .body,
            "got 400");
  SendAll(pending[0].Get(), std::string(990, 'b'));
  EXPECT_EQ(SplitResponse(ReadAll(pending[0].Get()).bytes).body, "got 1000");
  ASSERT_TRUE(Eventually([&] { return server_->BodyBytesHeld() == 1000; }));
  EXPECT_EQ(StatusOf(port_, head + std::string(1000, 'b')), "HTTP/1.1 200 OK");
}

// Enough descriptors for the clients of a flood and the server's side of its slots.
bool RaiseDescriptorLimit(rlim_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= wanted) return true;
  limit.rlim_cur = std::min(wanted, limit.rlim_max);
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= wanted;
}

// Uploads that stall after their head take every slot, one after another; a newcomer still
// gets its page, in the slot of the oldest stalled upload.
TEST_F(RequestBodyTest, ThousandStalledUploadsDoNotKeepANewClientOut) {
  constexpr std::size_t kStalled = 1100;
  ASSERT_TRUE(RaiseDescriptorLimit(kStalled + 512));
  TServerLimits limits;
  limits.MaxConnections = 64;
  limits.Timeouts.MinBodyRate = 0;  // slow, not cut: the slots stay taken
  Start(limits);
  std::vector<base::UniqueFd> stalled;
  stalled.reserve(kStalled);
  for (std::size_t i = 0; i < kStalled; ++i) {
    stalled.push_back(Connect(port_));
    ASSERT_TRUE(stalled.back().Valid()) << i;
    SendAll(stalled.back().Get(), "POST /up HTTP/1.1\r\nContent-Length: 1000\r\n\r\nstart");
  }
  ASSERT_TRUE(Eventually([&] { return server_->ConnectionCount() >= limits.MaxConnections; }));
  // More uploads than the listen backlog: the kernel may hand some of them to the server after a
  // new client, and such a late upload takes the newcomer's slot if its head is still unread. So
  // a new client may have to ask again, but it is served while every upload still stalls.
  const auto served = [this](const std::string& request, const std::string& body) {
    return Eventually(
        [&] {
          const Response answer = SplitResponse(Exchange(port_, request).bytes);
          return answer.status_line == "HTTP/1.1 200 OK" && answer.body == body;
        },
        std::chrono::seconds(30));
  };
  EXPECT_TRUE(served("GET / HTTP/1.1\r\n\r\n", "got 0"));
  EXPECT_TRUE(served("POST /up HTTP/1.1\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 'b'),
                     "got 1000"));
}

}  // namespace
}  // namespace orvelle::http
