// The script statements' port access on a real pseudo-terminal, with the main window's handlers
// delivering through a real MainLoop: openport and is_open, send, receive and flush, the buffer
// emptied by open and close, a device that hangs up, and the modem functions.
#include "app/port_access.h"

#include <gtest/gtest.h>

#include <thread>

#include "../serial/pty_pair.h"
#include "app/main_loop.h"
#include "app/main_loop_sync.h"
#include "base/ascii_text.h"
#include "serial/port_names.h"

namespace orvelle::app {
namespace {

using serial::test::PtyPair;
using serial::test::WaitUntil;

class PortAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.SetSyncTarget(&sync);
    port.OnRxChar = [this](int count) { pump.Deliver(count); };
    port.OnAfterOpen = [this] { buffer.Clear(); };
    port.OnAfterClose = [this] { buffer.Clear(); };
  }
  script::SerialAccess::OpenRequest Request(const std::string& path, const char* baud = "9600") {
    return {base::AsciiUpper(path), baud, "8", "none", "1", "none"};
  }
  std::string Received() {
    std::string out;
    EXPECT_TRUE(access.Receive(out));
    return out;
  }
  bool ServeUntil(std::function<bool()> done) {
    return WaitUntil(done, [&] { loop.RunOnce(std::chrono::milliseconds(10)); });
  }

  MainLoop loop;
  serial::TPostedSync sync{MainLoopSyncHooks(loop)};
  TReceiveBuffer buffer{nullptr};
  ReceivePump pump{port, buffer};
  serial::TSerialPort port;
  PortAccess access{port, buffer, pump};
  PtyPair pty;
};

TEST_F(PortAccessTest, OpenSendReceiveFlushClose) {
  ASSERT_TRUE(access.OpenPort(Request(pty.Path())));
  EXPECT_EQ(access.IsOpenText(), base::AsciiUpper(pty.Path()) + " 9600 8 None 1 None");
  ASSERT_TRUE(access.Send("*IDN?\r"));
  EXPECT_EQ(pty.Read(6), "*IDN?\r");
  EXPECT_TRUE(access.Send(""));
  pty.Write("abcdef");
  ASSERT_TRUE(ServeUntil([&] { return Received() == "abcdef"; }));
  EXPECT_EQ(Received(), "abcdef");  // receive leaves the bytes
  EXPECT_TRUE(access.RemoveReceived(3));
  EXPECT_EQ(Received(), "def");
  EXPECT_TRUE(access.FlushReceived());
  EXPECT_EQ(Received(), "");
  pty.Write("left");
  ASSERT_TRUE(ServeUntil([&] { return Received() == "left"; }));
  EXPECT_TRUE(access.ClosePort());
  EXPECT_EQ(Received(), "");
  EXPECT_EQ(access.IsOpenText(), "");
  EXPECT_TRUE(access.ClosePort());  // twice: nothing
  EXPECT_FALSE(access.Send("x"));
}

TEST_F(PortAccessTest, ReopenSameNameChangesSettingsAndKeepsBuffer) {
  ASSERT_TRUE(access.OpenPort(Request(pty.Path())));
  pty.Write("kept");
  ASSERT_TRUE(ServeUntil([&] { return Received() == "kept"; }));
  ASSERT_TRUE(
      access.OpenPort({base::AsciiUpper(pty.Path()), "fast", "7", "even", "2", "hardware"}));
  EXPECT_EQ(access.IsOpenText(), base::AsciiUpper(pty.Path()) + " 9600 7 Even 2 Hardware");
  EXPECT_EQ(Received(), "kept");
}

TEST_F(PortAccessTest, MissingPortFailsAndKeepsTheName) {
  EXPECT_FALSE(access.OpenPort(Request("/dev/no-such-port")));
  EXPECT_EQ(port.Port(), "/DEV/NO-SUCH-PORT");
  EXPECT_EQ(access.IsOpenText(), "");
}

TEST_F(PortAccessTest, ModemFunctionsOnOpenAndClosedPort) {
  using Signal = script::SerialAccess::ModemSignal;
  EXPECT_EQ(access.ModemSignalText(Signal::kCts), "");
  ASSERT_TRUE(access.OpenPort(Request(pty.Path())));
  for (Signal s : {Signal::kCts, Signal::kDsr, Signal::kRlsd, Signal::kRing}) {
    EXPECT_EQ(access.ModemSignalText(s), "0");  // a pseudo-terminal has no modem lines
  }
  access.SetModemLine(script::SerialAccess::ModemLine::kDtr, true);
  EXPECT_EQ(access.IsOpenText().empty(), false);
}

// Unplugged while a script polls: no crash, send fails, is_open is empty, and openport works
// again once the device is back.
TEST_F(PortAccessTest, DeviceThatHangsUp) {
  ASSERT_TRUE(access.OpenPort(Request(pty.Path())));
  pty.HangUp();
  ASSERT_TRUE(ServeUntil([&] { return access.IsOpenText().empty(); }));
  EXPECT_FALSE(access.Send("x"));
  std::string out;
  EXPECT_TRUE(access.Receive(out));
  PtyPair back;
  ASSERT_TRUE(access.OpenPort(Request(back.Path())));
  back.Write("back");
  ASSERT_TRUE(ServeUntil([&] { return Received() == "back"; }));
  EXPECT_TRUE(access.ClosePort());
}

// A receive that waits reads the reply itself: here nobody serves the main loop, so the event
// thread's delivery cannot happen. When it does happen later, it finds the bytes taken and adds
// nothing, and it still delivers what comes next.
TEST_F(PortAccessTest, WaitingReceiveReadsTheReplyItself) {
  ASSERT_TRUE(access.OpenPort(Request(pty.Path())));
  pty.Write("reply");
  std::string seen;
  for (int look = 0; look < 10'000 && seen != "reply"; ++look) seen = Received();
  EXPECT_EQ(seen, "reply");
  for (int i = 0; i < 20; ++i) loop.RunOnce(std::chrono::milliseconds(5));
  EXPECT_EQ(Received(), "reply");
  pty.Write("more");
  EXPECT_TRUE(ServeUntil([&] { return buffer.Read() == "replymore"; })) << buffer.Read();
  EXPECT_TRUE(access.ClosePort());
}

// The event thread and a waiting receive both read the port while a device trickles bytes:
// every byte arrives once and in order.
TEST_F(PortAccessTest, BytesKeepTheirOrderWhenTheEventThreadAndAWaiterBothRead) {
  constexpr int kChunks = 1500;
  constexpr std::size_t kChunk = 48;
  port.SetSyncMethod(serial::TSyncMethod::smNone);  // deliveries on the event thread itself
  ASSERT_TRUE(access.OpenPort(Request(pty.Path(), "115200")));
  std::string sent;
  for (int i = 0; i < kChunks * static_cast<int>(kChunk); ++i) sent += static_cast<char>(i % 251);
  std::thread device([&] {
    for (int i = 0; i < kChunks; ++i) {
      pty.Write(sent.substr(static_cast<std::size_t>(i) * kChunk, kChunk));
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::string seen;
  while (seen.size() < sent.size() && std::chrono::steady_clock::now() < until) seen = Received();
  device.join();
  EXPECT_EQ(seen.size(), sent.size());
  EXPECT_TRUE(seen == sent) << "bytes were reordered or repeated";
  EXPECT_TRUE(access.ClosePort());
}

}  // namespace
}  // namespace orvelle::app
