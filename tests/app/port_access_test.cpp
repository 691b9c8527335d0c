// The script statements' port access on a real pseudo-terminal, with the main window's handlers
// delivering through a real MainLoop: openport and is_open, send, receive and flush, the buffer
// emptied by open and close, a device that hangs up, and the modem functions.
#include "app/port_access.h"

#include <gtest/gtest.h>

#include "../serial/pty_pair.h"
#include "app/main_loop.h"
#include "app/main_loop_sync.h"
#include "serial/port_names.h"

namespace orvelle::app {
namespace {

using serial::test::PtyPair;
using serial::test::WaitUntil;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

class PortAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.SetSyncTarget(&sync);
    port.OnRxChar = [this](int count) { buffer.Append(port.ReadText(count)); };
    port.OnAfterOpen = [this] { buffer.Clear(); };
    port.OnAfterClose = [this] { buffer.Clear(); };
  }
  script::SerialAccess::OpenRequest Request(const std::string& path, const char* baud = "9600") {
    return {Upper(path), baud, "8", "none", "1", "none"};
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
  serial::TSerialPort port;
  PortAccess access{port, buffer};
  PtyPair pty;
};

TEST_F(PortAccessTest, OpenSendReceiveFlushClose) {
  ASSERT_TRUE(access.OpenPort(Request(pty.Path())));
  EXPECT_EQ(access.IsOpenText(), Upper(pty.Path()) + " 9600 8 None 1 None");
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
  ASSERT_TRUE(access.OpenPort({Upper(pty.Path()), "fast", "7", "even", "2", "hardware"}));
  EXPECT_EQ(access.IsOpenText(), Upper(pty.Path()) + " 9600 7 Even 2 Hardware");
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

}  // namespace
}  // namespace orvelle::app
