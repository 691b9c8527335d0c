// SendFile over real sockets: content types, empty and large files, files that cannot be sent.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>

#include "http/http_server.h"
#include "temp_dir.h"
#include "test_client.h"

namespace orvelle::http {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using namespace orvelle::http::testing;

class SendFileTest : public ::testing::Test {
 protected:
  SendFileTest() : server_({}, dir_.Write("mime.types", "application/x-dat dat\n")) {}

  // Serves `file` for every request; `clear_type` empties ContentType first.
  void Serve(std::string file, bool clear_type) {
    server_.OnCommandGet = [this, file, clear_type](TPeerThread& thread, THTTPRequestInfo&,
                                                    THTTPResponseInfo& response) {
      if (clear_type) response.ContentType.clear();
      const std::int64_t sent = server_.SendFile(thread, response, file);
      std::lock_guard lock(mutex_);
      sent_ = sent;
    };
    port_ = StartOnLoopback(server_);
  }
  std::int64_t Sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }

  TempDir dir_;
  THTTPServer server_;
  int port_ = 0;
  std::mutex mutex_;
  std::int64_t sent_ = -1;
};

TEST_F(SendFileTest, EmptyFileIsAHeaderWithZeroLength) {
  Serve(dir_.Write("empty.dat", ""), true);
  const ReadResult result = Exchange(port_, "GET / HTTP/1.1\r\n\r\n");
  const Response response = SplitResponse(result.bytes);
  EXPECT_EQ(response.Header("Content-Length"), "0");
  EXPECT_EQ(response.Header("Content-Type"), "application/x-dat");
  EXPECT_TRUE(response.has_header_end);
  EXPECT_THAT(response.body, IsEmpty());
  EXPECT_EQ(Sent(), 0);
}

// Small files leave from memory behind their header, larger ones by sendfile: both sides of the
// bound arrive whole and are counted as sent.
TEST_F(SendFileTest, FilesAroundTheSmallFileBoundArriveWhole) {
  for (const std::size_t size : {1u, 16383u, 16384u, 16385u, 200000u}) {
    SCOPED_TRACE(size);
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 7 + size) % 256);
    server_.Active(false);
    Serve(dir_.Write("f" + std::to_string(size) + ".dat", content), true);
    const Response response = SplitResponse(Exchange(port_, "GET / HTTP/1.1\r\n\r\n").bytes);
    EXPECT_EQ(response.Header("Content-Length"), std::to_string(size));
    EXPECT_TRUE(response.body == content) << "body of " << response.body.size() << " bytes differs";
    EXPECT_EQ(Sent(), static_cast<std::int64_t>(size));
  }
}

TEST_F(SendFileTest, PresetContentTypeIsKept) {
  Serve(dir_.Write("a.dat", "data"), false);
  const Response response = SplitResponse(Exchange(port_, "GET / HTTP/1.1\r\n\r\n").bytes);
  EXPECT_EQ(response.Header("Content-Type"), "text/html");
  EXPECT_EQ(response.body, "data");
}

TEST_F(SendFileTest, FilesThatCannotBeOpenedBecome500BeforeAnythingIsSent) {
  dir_.Write("real.txt", "never sent by a longer name");
  // A NUL would make the open stop at the name of a file that exists.
  const std::string cut = (dir_.Path() / "real.txt").string() + std::string("\0.ovs", 5);
  for (const std::string& path :
       {(dir_.Path() / "missing.txt").string(), dir_.Path().string(), cut}) {
    SCOPED_TRACE(path);
    server_.Active(false);
    Serve(path, true);
    const Response response = SplitResponse(Exchange(port_, "GET / HTTP/1.1\r\n\r\n").bytes);
    EXPECT_EQ(response.status_line, "HTTP/1.1 500 Internal Server Error");
    EXPECT_THAT(response.body, HasSubstr(path.substr(0, path.find('\0'))));
  }
}

// Reads the header, then checks every body byte against the pattern without keeping it.
std::int64_t ReadPatternBody(int fd, std::string& header) {
  std::string buffer(1 << 16, '\0');
  std::int64_t body = 0;
  bool in_body = false;
  for (;;) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) return body;
    std::string_view chunk(buffer.data(), static_cast<std::size_t>(n));
    if (!in_body) {
      header.append(chunk);
      const auto end = header.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      in_body = true;
      chunk = std::string_view(header).substr(end + 4);
      const std::string rest(chunk);
      header.resize(end);
      for (char c : rest) {
        if (static_cast<unsigned char>(c) != body++ % 251) return -1;
      }
      continue;
    }
    for (char c : chunk) {
      if (static_cast<unsigned char>(c) != body++ % 251) return -1;
    }
  }
}

TEST_F(SendFileTest, HundredMebibyteFileArrivesWhole) {
  constexpr std::int64_t kSize = 100LL * 1024 * 1024;
  const std::string path = (dir_.Path() / "big.bin").string();
  {
    std::string block(251 * 4096, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i % 251);
    base::UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    for (std::int64_t left = kSize; left > 0;) {
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(left, block.size()));
      ASSERT_EQ(::write(out.Get(), block.data(), n), static_cast<ssize_t>(n));
      left -= static_cast<std::int64_t>(n);
    }
  }
  Serve(path, true);
  base::UniqueFd client = Connect(port_);
  SendAll(client.Get(), "GET /big.bin HTTP/1.1\r\n\r\n");
  std::string header;
  EXPECT_EQ(ReadPatternBody(client.Get(), header), kSize);
  EXPECT_THAT(header, HasSubstr("\r\nContent-Length: 104857600"));
  EXPECT_EQ(Sent(), kSize);
}

}  // namespace
}  // namespace orvelle::http
