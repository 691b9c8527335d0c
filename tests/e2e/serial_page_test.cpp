// The real server and the serial device simulator: a page opens the simulator's port, sends a
// command, polls receive against getticks until the reply is there, flushes it and echoes it;
// is_open gives the line settings; the buffer outlives a request and is emptied by open and close.
#include <gtest/gtest.h>

#include "server_process.h"

namespace orvelle::e2e {
namespace {

// Opens the port named by the parameter p (opening an open port only re-applies settings),
// sends "PING", waits until the 6-byte reply is there or 5 s have passed, and echoes it.
constexpr const char* kPingPage = R"(<%
openport (p, "115200", "8", "none", "1", "none")
echo ("open=" & is_open())
send ("PING" & chr(13))
t0 = getticks()
waited = 0
while (len(receive())<<6)
waited = getticks() - t0
if (waited>>5000)
break
endif
wend
r = receive()
flush (6)
echo ("reply=" & mid(r, 1, 4))
echo ("left=[" & receive() & "]")
%>)";
// Sends a line the simulator echoes, and leaves the echo in the buffer for the next request.
constexpr const char* kLeavePage = R"(<%
send ("kept" & chr(13))
t0 = getticks()
waited = 0
while (len(receive())<<6)
waited = getticks() - t0
if (waited>>5000)
break
endif
wend
echo ("sent")
%>)";
constexpr const char* kShowPage = R"(<%
echo ("buffer=[" & mid(receive(), 1, 4) & "] open=[" & is_open() & "]")
%>)";
constexpr const char* kClosePage = R"(<%
closeport ()
echo ("closed error=" & error & " open=[" & is_open() & "] buffer=[" & receive() & "]")
%>)";

// The simulator as a child process; its first stdout line is the port path.
class Simulator {
 public:
  explicit Simulator(const TempHome& home)
      : out_(home.Path() / "sim-out.txt"),
        pid_(Spawn({ORVELLE_SERIAL_SIM, "--delay", "20"}, out_, home.Path() / "sim-err.txt")) {
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string text = ReadText(out_);
      if (const auto end = text.find('\n'); end != std::string::npos) {
        path_ = text.substr(0, end);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Simulator() {
    ::kill(pid_, SIGTERM);
    if (!WaitExit(pid_, kProcessLimit)) {
      ::kill(pid_, SIGKILL);
      WaitExit(pid_, kProcessLimit);
    }
  }
  const std::string& Path() const { return path_; }

 private:
  fs::path out_;
  pid_t pid_;
  std::string path_;
};

// The translated page ends with one empty line of its own.
std::string Body(const std::string& lines) {
  return lines + "\r\n";
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST(SerialPageTest, PingThroughTheSimulator) {
  TempHome home;
  home.Config("Server port=80\r\n");
  home.Page("ping.ovs", kPingPage);
  home.Page("leave.ovs", kLeavePage);
  home.Page("show.ovs", kShowPage);
  home.Page("close.ovs", kClosePage);
  Simulator simulator(home);
  ASSERT_FALSE(simulator.Path().empty());
  ServerProcess server(home);
  ASSERT_GT(server.Port(), 0) << server.Stdout();
  const std::string port = simulator.Path();
  const std::string settings = "open=" + Upper(port) + " 115200 8 None 1 None\r\n";

  const std::string first = Curl({server.Url("/ping.ovs?p=" + port)});
  EXPECT_EQ(first, Body(settings + "reply=PONG\r\nleft=[]\r\n"));

  // The echo stays in the buffer between requests.
  EXPECT_EQ(Curl({server.Url("/leave.ovs")}), Body("sent\r\n"));
  EXPECT_EQ(Curl({server.Url("/show.ovs")}),
            Body("buffer=[kept] open=[" + Upper(port) + " 115200 8 None 1 None]\r\n"));

  EXPECT_EQ(Curl({server.Url("/close.ovs")}), Body("closed error=0 open=[] buffer=[]\r\n"));

  // Opening again starts with an empty buffer and still talks to the device.
  EXPECT_EQ(Curl({server.Url("/ping.ovs?p=" + port)}), first);
  ASSERT_EQ(server.Terminate(kProcessLimit), 0);
  EXPECT_NE(server.Stdout().find("Stop listening, com port closed."), std::string::npos);
}

}  // namespace
}  // namespace orvelle::e2e
