// The live traffic stream over the real binary with the demo device streaming: two viewers get
// the same records in the same order, a viewer that stops reading is dropped while the others
// and the port go on, a reconnect with Last-Event-ID gets exactly what it missed, and the
// viewer count is bounded.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <map>
#include <regex>

#include "base/unique_fd.h"
#include "server_process.h"

namespace orvelle::e2e {
namespace {

using namespace std::chrono_literals;

struct Event {
  std::string id;
  std::string type;
  std::string data;
  bool operator==(const Event&) const = default;
};

// A raw viewer: one socket, the request sent at once, events parsed as they are read.
class Viewer {
 public:
  // `source`: the loopback address the viewer connects from (any 127.x.y.z), or the default.
  explicit Viewer(int port, const std::string& last_id = {}, int receive_buffer = 0,
                  const char* source = nullptr) {
    fd_ = base::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receive_buffer > 0) {
      ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    if (source != nullptr) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      ::inet_pton(AF_INET, source, &from.sin_addr);
      ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    std::string request = "GET /.orvelle/events HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!last_id.empty()) request += "Last-Event-ID: " + last_id + "\r\n";
    request += "\r\n";
    if (connected_) ::send(fd_.Get(), request.data(), request.size(), MSG_NOSIGNAL);
  }

  // Reads for at most `limit`; false once the server closed the stream.
  bool Read(std::chrono::milliseconds limit) {
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return true;
    char buffer[65536];
    const ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    raw_.append(buffer, static_cast<std::size_t>(n));
    Parse();
    return true;
  }
  // Reads until `done` holds or the stream ends, at most kProcessLimit.
  template <typename Done>
  bool ReadUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (!done(*this)) {
      if (std::chrono::steady_clock::now() > deadline || !Read(100ms)) return false;
    }
    return true;
  }
  bool Saw(const std::string& text) const {
    for (const Event& e : events_) {
      if (e.data.find(text) != std::string::npos) return true;
    }
    return false;
  }
  const std::vector<Event>& Events() const { return events_; }
  const std::string& Head() const { return head_; }
  bool Closed() const { return closed_; }  // the server ended the stream

 private:
  void Parse() {
    if (head_.empty()) {
      const auto end = raw_.find("\r\n\r\n");
      if (end == std::string::npos) return;
      head_ = raw_.substr(0, end);
      raw_.erase(0, end + 4);
    }
    for (auto end = raw_.find("\n\n"); end != std::string::npos; end = raw_.find("\n\n")) {
      Event event;
      std::istringstream block(raw_.substr(0, end));
      for (std::string line; std::getline(block, line);) {
        if (line.rfind("id: ", 0) == 0) event.id = line.substr(4);
        if (line.rfind("event: ", 0) == 0) event.type = line.substr(7);
        if (line.rfind("data: ", 0) == 0) event.data = line.substr(6);
      }
      raw_.erase(0, end + 2);
      if (!event.type.empty()) events_.push_back(event);
    }
  }

  base::UniqueFd fd_;
  bool connected_ = false;
  bool closed_ = false;
  std::string raw_;
  std::string head_;
  std::vector<Event> events_;
};

// The records with an id, from `id` on.
std::vector<Event> From(const std::vector<Event>& events, const std::string& id) {
  std::vector<Event> out;
  bool on = false;
  for (const Event& e : events) {
    on = on || e.id == id;
    if (on && !e.id.empty()) out.push_back(e);
  }
  return out;
}

// The counter values of the device's "T=N" lines, in the order they came.
std::vector<long> Counters(const std::vector<Event>& events) {
  std::string text;
  const std::regex hex_field("\"hex\":\"([0-9A-F]*)\"");
  for (const Event& e : events) {
    std::smatch m;
    if (e.type != "rx" || !std::regex_search(e.data, m, hex_field)) continue;
    const std::string hex = m[1];
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      text.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
  }
  std::vector<long> counters;
  const std::regex counter("T=(\\d+)\r\n");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), counter);
       it != std::sregex_iterator(); ++it) {
    counters.push_back(std::stol((*it)[1]));
  }
  return counters;
}

void ExpectContiguousIds(const std::vector<Event>& events) {
  std::uint64_t previous = 0;
  for (const Event& e : events) {
    if (e.id.empty()) continue;
    const std::uint64_t id = std::stoull(e.id);
    if (previous != 0) {
      ASSERT_EQ(id, previous + 1) << "a record went missing";
    }
    previous = id;
  }
}

void SendLine(const ServerProcess& server, const std::string& text) {
  Curl({"--data-urlencode", "text=" + text, "-d", "eol=crlf", "-d", "hex=0",
        server.Url("/term/send.ovs")});
}

TEST(EventStream, ViewersShareOneOrderTheStalledOneIsDroppedAndResumeMissesNothing) {
  TempHome home;
  WriteText(home.Web() / "term" / "send.ovs",
            ReadText(fs::path(ORVELLE_SOURCE_DIR) / "web" / "term" / "send.ovs"));
  WriteText(home.Web() / "term" / "open.ovs",
            ReadText(fs::path(ORVELLE_SOURCE_DIR) / "web" / "term" / "open.ovs"));
  ServerProcess server(home, 0, {"--demo"});
  ASSERT_GT(server.Port(), 0) << server.Stderr();
  ASSERT_TRUE(server.WaitForLog("Demo device"));
  const std::string device = server.DemoDevicePath();
  EXPECT_EQ(Curl({server.Url("/term/open.ovs?port=" + device +
                             "&baud=115200&data=8&parity=none&stop=1&flow=none")})
                .rfind("OK", 0),
            0u);

  Viewer first(server.Port());
  Viewer second(server.Port());
  Viewer stalled(server.Port(), {}, 4096);  // never read from here on
  SendLine(server, "STREAM ON");
  // Enough traffic to fill what the stalled viewer's socket holds many times over.
  std::jthread first_reader(
      [&] { first.ReadUntil([](const Viewer& v) { return v.Saw("PONG"); }); });
  std::jthread second_reader(
      [&] { second.ReadUntil([](const Viewer& v) { return v.Saw("PONG"); }); });
  for (int i = 0; i < 60; ++i) SendLine(server, std::string(3000, static_cast<char>('a' + i % 26)));
  EXPECT_TRUE(server.WaitForLog("Live traffic viewer 127.0.0.1 dropped"));
  // The port went on: a ping sent after the drop still gets its answer to every viewer.
  SendLine(server, "PING");
  first_reader.join();
  second_reader.join();
  EXPECT_EQ(server.Stdout().find("dropped: "), server.Stdout().rfind("dropped: "))
      << "only the stalled viewer is dropped";
  ASSERT_TRUE(first.Saw("PONG"));
  ASSERT_TRUE(second.Saw("PONG"));
  EXPECT_NE(first.Head().find("text/event-stream"), std::string::npos);

  // The same records in the same order, none missing, from where both had started.
  ExpectContiguousIds(first.Events());
  ExpectContiguousIds(second.Events());
  const std::string common = second.Events().front().id;
  std::vector<Event> a = From(first.Events(), common);
  std::vector<Event> b = From(second.Events(), common);
  const std::size_t shared = std::min(a.size(), b.size());
  ASSERT_GT(shared, 100u);
  a.resize(shared);
  b.resize(shared);
  EXPECT_EQ(a, b);
  // No byte of the device's stream was lost while a viewer stalled.
  const std::vector<long> counters = Counters(first.Events());
  ASSERT_GT(counters.size(), 10u);
  for (std::size_t i = 1; i < counters.size(); ++i) ASSERT_EQ(counters[i], counters[i - 1] + 1);

  // A reconnect after a record still held gets exactly the records after it.
  const std::vector<Event>& seen = first.Events();
  const Event& resume_at = seen[seen.size() - 20];
  ASSERT_FALSE(resume_at.id.empty());
  Viewer resumed(server.Port(), resume_at.id);
  const std::string last = seen.back().id;
  ASSERT_TRUE(resumed.ReadUntil(
      [&](const Viewer& v) { return !v.Events().empty() && !From(v.Events(), last).empty(); }));
  std::vector<Event> expected(seen.end() - 19, seen.end());
  std::vector<Event> got(resumed.Events().begin(), resumed.Events().begin() + 19);
  EXPECT_EQ(got, expected);

  // An id that is not ours gets everything held, behind a note that records were missed.
  Viewer foreign(server.Port(), "not-an-id");
  ASSERT_TRUE(foreign.ReadUntil([](const Viewer& v) { return v.Events().size() > 1; }));
  EXPECT_NE(foreign.Events().front().data.find("\"missed\":true"), std::string::npos);
}

// One address holds at most 8 seats, all together 32; a turned-away viewer is told when to
// try again.
TEST(EventStream, AtMostEightViewersPerAddressAndThirtyTwoInAll) {
  TempHome home;
  ServerProcess server(home);
  ASSERT_GT(server.Port(), 0) << server.Stderr();
  const auto head_in = [](const Viewer& v) { return !v.Head().empty(); };
  std::vector<std::unique_ptr<Viewer>> viewers;
  for (const char* source : {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    for (int i = 0; i < 8; ++i) {
      viewers.push_back(std::make_unique<Viewer>(server.Port(), "", 0, source));
      ASSERT_TRUE(viewers.back()->ReadUntil(head_in));
      ASSERT_NE(viewers.back()->Head().find(" 200 "), std::string::npos) << source << " " << i;
    }
    if (viewers.size() == 8) {
      Viewer ninth(server.Port(), "", 0, source);
      ninth.ReadUntil(head_in);
      EXPECT_NE(ninth.Head().find(" 503 "), std::string::npos) << ninth.Head();
      EXPECT_NE(ninth.Head().find("\r\nRetry-After: 10\r\n"), std::string::npos) << ninth.Head();
    }
  }
  Viewer one_more(server.Port(), "", 0, "127.0.0.5");
  one_more.ReadUntil(head_in);
  EXPECT_NE(one_more.Head().find(" 503 "), std::string::npos) << one_more.Head();
  viewers.pop_back();  // a seat comes free once its viewer has gone
  bool admitted = false;
  for (int tries = 0; tries < 50 && !admitted; ++tries) {
    Viewer again(server.Port(), "", 0, "127.0.0.4");
    again.ReadUntil(head_in);
    admitted = again.Head().find(" 200 ") != std::string::npos;
    if (!admitted) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(admitted);
}

// With the session rule on, a stream ends with the session it was opened under.
TEST(EventStream, StreamEndsWhenItsSessionEnds) {
  TempHome home;
  home.Config("Use session=yes\r\nSession expire=1\r\n");
  ServerProcess server(home, 0, {"--session-minute-ms", "300"});
  ASSERT_GT(server.Port(), 0) << server.Stderr();
  Viewer viewer(server.Port());
  ASSERT_TRUE(viewer.ReadUntil([](const Viewer& v) { return !v.Head().empty(); }));
  ASSERT_NE(viewer.Head().find(" 200 "), std::string::npos) << viewer.Head();
  EXPECT_TRUE(server.WaitForLog("User session expired"));
  viewer.ReadUntil([](const Viewer& v) { return v.Closed(); });
  EXPECT_TRUE(viewer.Closed());
  EXPECT_TRUE(server.WaitForLog("Live traffic viewer 127.0.0.1 dropped: its session ended"));
}

}  // namespace
}  // namespace orvelle::e2e
