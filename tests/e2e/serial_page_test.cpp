// The real server and the serial device simulator: a page opens the simulator's port, sends a
// command, polls receive against getticks until the reply is there, flushes it and echoes it;
// is_open gives the line settings; the buffer outlives a request and is emptied by open and close.
#include <gtest/gtest.h>

#include "base/ascii_text.h"
#include "server_process.h"

namespace orvelle::e2e {
namespace {

// A page that runs `before`, then polls `value` (into v) while `keep_going` holds or until 5 s
// have passed, then runs `after`. A call inside a condition is not called, so the polled value
// is assigned before the condition looks at it.
std::string PollingPage(const std::string& before, const std::string& value,
                        const std::string& keep_going, const std::string& after) {
  return "<%\n" + before + "t0 = getticks()\nwaited = 0\nv = " + value + "\nwhile (" + keep_going +
         ")\nwaited = getticks() - t0\nif (waited>>5000)\nbreak\nendif\nv = " + value + "\nwend\n" +
         after + "%>";
}

// Opens the port named by the parameter p (opening an open port only re-applies settings),
// sends "PING", waits for the 6-byte reply, and echoes it.
const std::string kPingPage = PollingPage(
    "openport (p, \"115200\", \"8\", \"none\", \"1\", \"none\")\n"
    "echo (\"open=\" & is_open())\nsend (\"PING\" & chr(13))\n",
    "len(receive())", "v<<6",
    "r = receive()\nflush (6)\necho (\"reply=\" & mid(r, 1, 4))\n"
    "echo (\"left=[\" & receive() & \"]\")\n");
// Sends a line the simulator echoes, and leaves the echo in the buffer for the next request.
const std::string kLeavePage =
    PollingPage("send (\"kept\" & chr(13))\n", "len(receive())", "v<<6", "echo (\"sent\")\n");
constexpr const char* kShowPage = R"(<%
echo ("buffer=[" & mid(receive(), 1, 4) & "] open=[" & is_open() & "]")
%>)";
constexpr const char* kClosePage = R"(<%
closeport ()
echo ("closed error=" & error & " open=[" & is_open() & "] buffer=[" & receive() & "]")
%>)";
// Asks the simulator to drop its line, then polls is_open until the port reads as closed; send
// must then fail.
const std::string kHangUpPage =
    PollingPage("send (\"HANGUP\" & chr(13))\n", "len(is_open())", "v>>0",
                "echo (\"open=[\" & is_open() & \"]\")\nsend (\"x\")\n"
                "echo (\"send=\" & geterror())\n");

// Asks the simulator to drop its line, and nothing else.
constexpr const char* kDropPage = R"(<% send ("HANGUP" & chr(13)) %>)";
// Talks to whatever device the port has now, without opening it.
const std::string kAskPage = PollingPage("send (\"PING\" & chr(13))\n", "len(receive())", "v<<6",
                                         "echo (\"open=\" & is_open())\n"
                                         "echo (\"reply=\" & mid(receive(), 1, 4))\n");

// The simulator as a child process; its stdout lines are its port paths, newest last.
class Simulator {
 public:
  explicit Simulator(const TempHome& home)
      : out_(home.Path() / "sim-out.txt"),
        pid_(Spawn({ORVELLE_SERIAL_SIM, "--delay", "20"}, out_, home.Path() / "sim-err.txt")) {
    path_ = WaitForPath(1);
  }
  // The n-th path the simulator printed (1 = its first line), or empty after the time limit.
  std::string WaitForPath(std::size_t n) const {
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      // Only complete lines count: a path is printed with its line end in one write.
      const std::string text = ReadText(out_);
      std::size_t start = 0;
      for (std::size_t i = 1, end; (end = text.find('\n', start)) != std::string::npos; ++i) {
        if (i == n) return text.substr(start, end - start);
        start = end + 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
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
  const std::string settings = "open=" + base::AsciiUpper(port) + " 115200 8 None 1 None\r\n";

  const std::string first = Curl({server.Url("/ping.ovs?p=" + port)});
  EXPECT_EQ(first, Body(settings + "reply=PONG\r\nleft=[]\r\n"));

  // The echo stays in the buffer between requests.
  EXPECT_EQ(Curl({server.Url("/leave.ovs")}), Body("sent\r\n"));
  EXPECT_EQ(Curl({server.Url("/show.ovs")}),
            Body("buffer=[kept] open=[" + base::AsciiUpper(port) + " 115200 8 None 1 None]\r\n"));

  EXPECT_EQ(Curl({server.Url("/close.ovs")}), Body("closed error=0 open=[] buffer=[]\r\n"));

  // Opening again starts with an empty buffer and still talks to the device.
  EXPECT_EQ(Curl({server.Url("/ping.ovs?p=" + port)}), first);
  ASSERT_EQ(server.Terminate(kProcessLimit), 0);
  EXPECT_NE(server.Stdout().find("Stop listening, com port closed."), std::string::npos);
}

// Unplugged while a script polls: the server neither crashes nor hangs, the page sees the port
// closed and send failing, and openport works again on the device that came back.
TEST(SerialPageTest, DeviceHangsUpWhileAPagePolls) {
  TempHome home;
  home.Config("Server port=80\r\n");
  home.Page("ping.ovs", kPingPage);
  home.Page("hangup.ovs", kHangUpPage);
  Simulator simulator(home);
  ASSERT_FALSE(simulator.Path().empty());
  ServerProcess server(home);
  ASSERT_GT(server.Port(), 0) << server.Stdout();
  const std::string reply = "reply=PONG\r\nleft=[]\r\n";
  ASSERT_NE(Curl({server.Url("/ping.ovs?p=" + simulator.Path())}).find(reply), std::string::npos);

  EXPECT_EQ(Curl({server.Url("/hangup.ovs")}), Body("open=[]\r\nsend=error sending data\r\n"));

  const std::string back = simulator.WaitForPath(2);
  ASSERT_FALSE(back.empty());
  const std::string again = Curl({server.Url("/ping.ovs?p=" + back)});
  EXPECT_EQ(again, Body("open=" + base::AsciiUpper(back) + " 115200 8 None 1 None\r\n" + reply));
  ASSERT_EQ(server.Terminate(kProcessLimit), 0);
}

// A port opened by a stable name (a symlink standing for /dev/serial/by-id/...) whose device is
// unplugged and plugged back: the server reopens it by itself, and the next page, which never
// opens the port, finds it open with the same settings and talking to the device.
TEST(SerialPageTest, StableNameIsReopenedAfterAReplug) {
  TempHome home;
  home.Config("Server port=80\r\n");
  home.Page("ping.ovs", kPingPage);
  home.Page("drop.ovs", kDropPage);
  home.Page("ask.ovs", kAskPage);
  Simulator simulator(home);
  ASSERT_FALSE(simulator.Path().empty());
  const fs::path link = home.Path() / "by-id" / "dev0";
  fs::create_directories(link.parent_path());
  fs::create_symlink(simulator.Path(), link);
  ServerProcess server(home);
  ASSERT_GT(server.Port(), 0) << server.Stdout();
  const std::string settings = base::AsciiUpper(link.string()) + " 115200 8 None 1 None\r\n";
  ASSERT_EQ(Curl({server.Url("/ping.ovs?p=" + link.string())}),
            Body("open=" + settings + "reply=PONG\r\nleft=[]\r\n"));

  fs::remove(link);  // the stable name goes with the device
  Curl({server.Url("/drop.ovs")});
  const std::string gone =
      "Serial port " + link.string() + ": device gone; waiting for it to come back\n";
  ASSERT_TRUE(server.WaitForLog(gone)) << server.Stdout();
  // The port list tells a page that the device is awaited, not closed.
  const std::string awaited = R"("device_gone":{"port":")" + link.string() + R"(","waiting":true})";
  EXPECT_NE(Curl({server.Url("/.orvelle/ports")}).find(awaited), std::string::npos);
  const std::string back = simulator.WaitForPath(2);
  ASSERT_FALSE(back.empty());
  fs::create_symlink(back, link);
  const std::string reopened =
      "Serial port " + link.string() + ": device back, reopened with the same settings\n";
  ASSERT_TRUE(server.WaitForLog(reopened)) << server.Stdout();
  EXPECT_NE(Curl({server.Url("/.orvelle/ports")}).find(R"("device_gone":null)"), std::string::npos);

  EXPECT_EQ(Curl({server.Url("/ask.ovs")}), Body("open=" + settings + "reply=PONG\r\n"));
  ASSERT_EQ(server.Terminate(kProcessLimit), 0);
  const std::string out = server.Stdout();
  for (const std::string& line : {gone, reopened}) {
    EXPECT_EQ(out.find(line), out.rfind(line)) << line;  // logged once
  }
}

// A page that names something other than a serial line gets the usual open error, the log says
// why (naming the device as the page wrote it), the port list gives the reason to the terminal,
// and the port stays closed; the device is refused before it is opened.
TEST(SerialPageTest, NonSerialDeviceIsRefused) {
  TempHome home;
  home.Config("Server port=80\r\n");
  home.Page("open.ovs",
            "<% openport (p, \"9600\", \"8\", \"none\", \"1\", \"none\")\n"
            "echo (geterror() & \" open=[\" & is_open() & \"]\") %>");
  ServerProcess server(home);
  ASSERT_GT(server.Port(), 0) << server.Stdout();
  EXPECT_EQ(Curl({server.Url("/open.ovs?p=/dev/null")}), Body("error opening port open=[]\r\n"));
  EXPECT_TRUE(server.WaitForLog("Serial port error: not a serial port: /dev/null\n"))
      << server.Stdout();
  EXPECT_NE(Curl({server.Url("/.orvelle/ports")})
                .find(R"("last_open_failure":{"port":"/dev/null","reason":"not a serial port"})"),
            std::string::npos);
  ASSERT_EQ(server.Terminate(kProcessLimit), 0);
}

}  // namespace
}  // namespace orvelle::e2e
