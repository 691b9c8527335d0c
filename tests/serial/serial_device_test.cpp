// The device on real pseudo-terminals: settings read back from termios, open and close with
// their events, exclusive open, writes with the time limit, reads and the input count.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "pty_pair.h"
#include "serial/line_settings.h"
#include "serial/serial_port.h"
#include "temp_folder.h"

namespace orvelle::serial {
namespace {

using test::PtyPair;

// A port on the slave side without an event thread, so reads here see every byte.
class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.SetPort(pty.Path());
    port.SetEvents(0);
  }
  LineReadback Readback() {
    LineReadback back;
    EXPECT_TRUE(ReadLineSettings(port.DeviceHandle(), back));
    return back;
  }
  PtyPair pty;
  TSerialPort port;
};

TEST_F(DeviceTest, OpenAppliesRawLineAtDefaultRate) {
  port.Open();
  ASSERT_TRUE(port.Connected());
  const LineReadback back = Readback();
  EXPECT_EQ(back.output_rate, 9600u);
  EXPECT_EQ(back.input_rate, 9600u);
  EXPECT_EQ(back.data_bits, 8);
  EXPECT_FALSE(back.parity_enabled);
  EXPECT_FALSE(back.two_stop_bits);
  EXPECT_FALSE(back.rts_cts);
  EXPECT_TRUE(back.raw);
}

TEST_F(DeviceTest, SettingsChangedWhileOpenApplyAtOnce) {
  struct Case {
    const char* baud;
    const char* data;
    const char* parity;
    const char* stop;
    const char* flow;
    std::uint32_t rate;
    int bits;
    bool parenb, parodd, sticky, cstopb, rtscts, xon;
  };
  const Case cases[] = {
      {"115200", "7", "even", "1", "none", 115200, 7, true, false, false, false, false, false},
      {"300", "5", "odd", "1.5", "hardware", 300, 5, true, true, false, true, true, false},
      {"56000", "6", "mark", "2", "software", 56000, 6, true, true, true, true, false, true},
      {"128000", "8", "space", "1", "none", 128000, 8, true, false, true, false, false, false},
      {"fast", "9", "", "3", "none", 9600, 8, false, false, false, false, false, false},
  };
  port.Open();
  for (const Case& c : cases) {
    port.SetBaudRate(ParseBaudRate(c.baud));
    port.SetDataBits(ParseDataBits(c.data));
    port.SetParityBits(ParseParity(c.parity));
    port.SetStopBits(ParseStopBits(c.stop));
    port.SetFlowControlMode(ParseFlowControl(c.flow));
    const LineReadback back = Readback();
    EXPECT_EQ(back.output_rate, c.rate) << c.baud;
    // A pseudo-terminal forces 8 bits without parity; the request itself must still say them.
    const LineReadback asked = DescribeRequest(
        {port.Rate(), port.DataBits(), port.StopBits(), port.Parity(), port.FlowControl()});
    EXPECT_EQ(asked.data_bits, c.bits) << c.data;
    EXPECT_EQ(asked.parity_enabled, c.parenb) << c.parity;
    EXPECT_EQ(asked.output_rate, c.rate) << c.baud;
    EXPECT_EQ(back.parity_odd, c.parodd) << c.parity;
    EXPECT_EQ(back.parity_sticky, c.sticky) << c.parity;
    EXPECT_EQ(back.two_stop_bits, c.cstopb) << c.stop;
    EXPECT_EQ(back.rts_cts, c.rtscts) << c.flow;
    EXPECT_EQ(back.xon_in && back.xon_out, c.xon) << c.flow;
  }
}

TEST_F(DeviceTest, CustomRateIsExact) {
  port.SetBaudRate(TBaudRate::brCustom);
  port.SetCustomBaudRate(250000);  // a rate no table holds
  port.Open();
  EXPECT_EQ(Readback().output_rate, 250000u);
  port.SetCustomBaudRate(31250);
  EXPECT_EQ(Readback().output_rate, 31250u);
}

TEST_F(DeviceTest, XonXoffCharactersAndParityCheck) {
  TSerialFlowControl flow;
  flow.XonChar = 0x11 + 1;
  flow.XoffChar = 0x13 + 1;
  port.SetFlowControl(flow);
  TSerialParity parity;
  parity.Bits = TParityBits::prEven;
  parity.Check = true;
  port.SetParity(parity);
  port.Open();
  const LineReadback back = Readback();
  EXPECT_EQ(back.start_char, 0x12);
  EXPECT_EQ(back.stop_char, 0x14);
  EXPECT_TRUE(back.input_check);
}

// A device that is no terminal refuses line settings: code 7, the port stays closed. A fake
// sysfs tree passes /dev/null off as a tty-class device, so the open reaches the line settings.
TEST_F(DeviceTest, RefusedLineSettingsRaiseCodeSevenAndLeaveItClosed) {
  test::TempFolder sys;
  const std::filesystem::path entry = sys.Path() / "dev" / "char" / "1:3";
  std::filesystem::create_directories(entry);
  std::filesystem::create_symlink("../../../class/tty", entry / "subsystem");
  port.SetSysfsRoot(sys.Path());
  int after_open = 0;
  port.OnAfterOpen = [&] { ++after_open; };
  port.SetPort("/dev/null");
  try {
    port.Open();
    ADD_FAILURE() << "line settings on /dev/null were accepted";
  } catch (const ESerialPort& error) {
    EXPECT_EQ(error.Code(), 7);
    EXPECT_EQ(error.SystemCode(), ENOTTY);
  }
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(after_open, 0);
}

// Counts the opens of one file through inotify, so a test can tell that nothing opened it.
class OpenWatch {
 public:
  explicit OpenWatch(const std::filesystem::path& file)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (!fd_.Valid() || ::inotify_add_watch(fd_.Get(), file.c_str(), IN_OPEN) < 0) {
      throw std::runtime_error("inotify failed");
    }
  }
  // Opens seen so far; the events of this process's own calls are queued before they return.
  int Opens() const {
    alignas(inotify_event) char buffer[4096];
    int opens = 0;
    for (ssize_t n; (n = ::read(fd_.Get(), buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((event->mask & IN_OPEN) != 0) ++opens;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return opens;
  }

 private:
  base::UniqueFd fd_;
};

// Only a serial line is opened: a pseudo-terminal, directly or through a symlink as
// /dev/serial/by-id has them, opens and carries bytes; anything else is refused before any open,
// as a missing device is (code 1), the owner hears why, and no open event reaches the file.
TEST_F(DeviceTest, OpensSerialLinesOnly) {
  test::TempFolder folder;
  const std::filesystem::path to_pty = folder.Path() / "usb-Maker_Adapter-if00";
  std::filesystem::create_symlink(pty.Path(), to_pty);
  const std::filesystem::path plain = folder.Path() / "plain";
  std::ofstream(plain) << "x";
  const std::filesystem::path fifo = folder.Path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::filesystem::path to_plain = folder.Path() / "link";
  std::filesystem::create_symlink(plain, to_plain);
  const struct {
    std::string port;
    bool opens;
    std::filesystem::path watched;  // empty: not watched (shared devices others may open)
  } cases[] = {{pty.Path(), true, {}},           {to_pty.string(), true, {}},
               {"/dev/null", false, {}},         {"NULL", false, {}},
               {plain.string(), false, plain},   {fifo.string(), false, fifo},
               {to_plain.string(), false, plain}};
  int after_open = 0;
  port.OnAfterOpen = [&] { ++after_open; };
  std::vector<std::string> refused;
  port.OnNotSerialPort = [&](const std::string& name) { refused.push_back(name); };
  for (const auto& c : cases) {
    std::optional<OpenWatch> watch;
    if (!c.watched.empty()) watch.emplace(c.watched);
    after_open = 0;
    refused.clear();
    port.SetPort(c.port);
    if (c.opens) {
      ASSERT_NO_THROW(port.Open()) << c.port;
      EXPECT_EQ(port.WriteText("via"), 3) << c.port;
      EXPECT_EQ(pty.Read(3), "via") << c.port;
      port.Close();
    } else {
      try {
        port.Open();
        ADD_FAILURE() << "opened " << c.port;
      } catch (const ESerialPort& error) {
        EXPECT_EQ(error.Code(), 1) << c.port;
        EXPECT_EQ(error.SystemCode(), ENOTTY) << c.port;
      }
      EXPECT_FALSE(port.Connected()) << c.port;
    }
    EXPECT_EQ(after_open, c.opens ? 1 : 0) << c.port;
    EXPECT_EQ(refused, c.opens ? std::vector<std::string>{} : std::vector<std::string>{c.port})
        << c.port;
    if (watch) {
      EXPECT_EQ(watch->Opens(), 0) << c.port;
    }
  }
}

// Any rate the driver takes is set exactly; one it cannot take fails the open with the
// set-state error instead of leaving the line at another rate.
TEST_F(DeviceTest, RatesOffTheTableAreExactAndRefusedOnesFailTheOpen) {
  port.SetCustomBaudRate(250000);
  port.SetBaudRate(TBaudRate::brCustom);
  port.Open();
  EXPECT_EQ(Readback().output_rate, 250000u);
  port.Close();
  port.SetCustomBaudRate(0);
  try {
    port.Open();
    ADD_FAILURE() << "opened at rate 0";
  } catch (const ESerialPort& error) {
    EXPECT_EQ(error.Code(), static_cast<int>(SerialErrorCode::kSetState));
  }
  EXPECT_FALSE(port.Connected());
}

TEST(LineMappingTest, OneAndAHalfStopBitsUseTheTwoBitSetting) {
  LineRequest request;
  request.stop_bits = TStopBits::sbOne5StopBits;
  request.data_bits = TDataBits::dbFive;
  EXPECT_TRUE(DescribeRequest(request).two_stop_bits);
  request.stop_bits = TStopBits::sbOneStopBit;
  EXPECT_FALSE(DescribeRequest(request).two_stop_bits);
}

TEST_F(DeviceTest, MissingDeviceRaisesCodeOneWithFileNotFound) {
  port.SetPort("/dev/no-such-serial-device");
  try {
    port.Open();
    ADD_FAILURE() << "opened a missing device";
  } catch (const ESerialPort& error) {
    EXPECT_EQ(error.Code(), 1);
    EXPECT_STREQ(error.what(), "Unable to open com port (system error code: 2)");
  }
  EXPECT_FALSE(port.Connected());
}

TEST_F(DeviceTest, SecondOpenerIsRefused) {
  port.Open();
  TSerialPort second;
  second.SetEvents(0);
  second.SetPort(pty.Path());
  try {
    second.Open();
    ADD_FAILURE() << "two openers";
  } catch (const ESerialPort& error) {
    EXPECT_EQ(error.Code(), 1);
  }
  EXPECT_FALSE(second.Connected());
  port.Close();
  EXPECT_NO_THROW(second.Open());
}

TEST_F(DeviceTest, OpenAndCloseEventOrder) {
  std::vector<std::string> seen;
  port.OnAfterOpen = [&] { seen.push_back("AfterOpen"); };
  port.OnAfterClose = [&] { seen.push_back("AfterClose"); };
  port.OnCTSChange = [&](bool on) { seen.push_back(on ? "CTS+" : "CTS-"); };
  port.OnDSRChange = [&](bool on) { seen.push_back(on ? "DSR+" : "DSR-"); };
  port.OnRLSDChange = [&](bool on) { seen.push_back(on ? "RLSD+" : "RLSD-"); };
  port.Open();
  port.Open();  // already open: nothing
  port.Close();
  port.Close();  // already closed: nothing
  const std::vector<std::string> want = {"AfterOpen", "CTS-", "DSR-",  "RLSD-",
                                         "CTS-",      "DSR-", "RLSD-", "AfterClose"};
  EXPECT_EQ(seen, want);
}

TEST_F(DeviceTest, WriteReachesTheDevice) {
  port.Open();
  EXPECT_EQ(port.WriteText(""), 0);
  EXPECT_EQ(port.WriteText(std::string("ID?\r\n\0\xff", 7)), 7);
  EXPECT_EQ(pty.Read(7), std::string("ID?\r\n\0\xff", 7));
}

TEST_F(DeviceTest, ReadReturnsWhatArrivedAtMostCount) {
  port.Open();
  EXPECT_EQ(port.ReadText(0), "");
  EXPECT_EQ(port.ReadText(10), "");  // nothing yet: returns at once
  pty.Write("hello world");
  ASSERT_TRUE(test::WaitUntil([&] { return port.QueuedInput() == 11; }, [] {}));
  EXPECT_EQ(port.ReadText(5), "hello");
  EXPECT_EQ(port.QueuedInput(), 6);
  EXPECT_EQ(port.ReadText(100), " world");
  EXPECT_EQ(port.QueuedInput(), 0);
}

// The waiting reader's read: what is there, at most `max`, never a wait, and counted as read.
TEST_F(DeviceTest, ReadWaitingTakesWhatIsThereWithoutWaiting) {
  port.Open();
  EXPECT_EQ(port.ReadWaiting(64), "");  // nothing yet: returns at once
  pty.Write(std::string("hello\0world", 11));
  ASSERT_TRUE(test::WaitUntil([&] { return port.QueuedInput() == 11; }, [] {}));
  EXPECT_EQ(port.ReadWaiting(5), "hello");
  EXPECT_EQ(port.ReadWaiting(64), std::string("\0world", 6));
  EXPECT_EQ(port.ReadWaiting(64), "");
  EXPECT_EQ(port.BytesRead(), 11u);
  port.Close();
  EXPECT_THROW(port.ReadWaiting(64), ESerialPort);
}

// The device takes nothing while the far end reads nothing; the limit ends the write early.
TEST_F(DeviceTest, WriteStopsAtTheTimeLimit) {
  TSerialTimeouts timeouts;
  timeouts.WriteTotalMultiplier = 0;
  timeouts.WriteTotalConstant = 50;
  port.SetTimeouts(timeouts);
  port.Open();
  const std::string big(4 << 20, 'x');
  const int written = port.WriteText(big);
  EXPECT_GT(written, 0);
  EXPECT_LT(written, static_cast<int>(big.size()));
}

TEST_F(DeviceTest, ClosedPortRefusesIo) {
  try {
    port.WriteText("x");
    ADD_FAILURE();
  } catch (const ESerialPort& error) {
    EXPECT_EQ(error.Code(), 2);
  }
  try {
    port.ReadText(1);
    ADD_FAILURE();
  } catch (const ESerialPort& error) {
    EXPECT_EQ(error.Code(), 3);
  }
}

TEST_F(DeviceTest, SyncMethodCannotChangeWhileOpen) {
  port.Open();
  try {
    port.SetSyncMethod(TSyncMethod::smNone);
    ADD_FAILURE();
  } catch (const ESerialPort& error) {
    EXPECT_EQ(error.Code(), 14);
    EXPECT_EQ(error.SystemCode(), -1);
  }
  port.Close();
  port.SetSyncMethod(TSyncMethod::smNone);
  EXPECT_EQ(port.SyncMethod(), TSyncMethod::smNone);
}

TEST_F(DeviceTest, PortChangeWhileOpenMovesToTheNewDevice) {
  PtyPair other;
  int closes = 0;
  port.OnAfterClose = [&] { ++closes; };
  port.Open();
  port.SetPort(other.Path());
  EXPECT_EQ(closes, 1);
  ASSERT_TRUE(port.Connected());
  port.WriteText("moved");
  EXPECT_EQ(other.Read(5), "moved");
}

// Without an event thread nothing watches the line; the check itself notices the hang-up, and
// Open then reopens instead of keeping the dead handle.
TEST_F(DeviceTest, CheckNoticesAHangUpWithoutAThread) {
  port.Open();
  EXPECT_TRUE(port.CheckConnected());
  pty.HangUp();
  EXPECT_FALSE(port.CheckConnected());
  EXPECT_FALSE(port.Connected());
  EXPECT_THROW(port.WriteText("x"), ESerialPort);  // a lost device takes no bytes
  EXPECT_THROW(port.Open(), ESerialPort);          // the pseudo-terminal is gone for good
  EXPECT_FALSE(port.Connected());
}

TEST_F(DeviceTest, QueueSizesStoredEven) {
  port.SetBuffer({4097, 4096});
  EXPECT_EQ(port.Buffer().InputSize, 4096);
  EXPECT_EQ(port.Buffer().OutputSize, 4096);
}

TEST_F(DeviceTest, PseudoTerminalHasNoModemLines) {
  port.Open();
  EXPECT_EQ(port.ModemSignals(), 0u);
  EXPECT_TRUE(port.SetModemLine(true, true));
  EXPECT_EQ(port.LineErrors(), 0u);
}

}  // namespace
}  // namespace orvelle::serial
