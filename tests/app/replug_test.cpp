// A port opened by a stable name (a symlink in a temp folder standing for /dev/serial/by-id/...)
// whose device is unplugged (pseudo-terminal master closed, symlink removed) and plugged back (a
// new pseudo-terminal, the symlink again): reopened with the same settings, bytes flowing both
// ways, one log line each way; what ends the wait; another device under a kernel name (told
// apart by a fake sysfs) left alone; and many re-plugs under traffic.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "../serial/pty_pair.h"
#include "../serial/temp_folder.h"
#include "app/port_access.h"
#include "base/ascii_text.h"

namespace orvelle::app {
namespace {

namespace fs = std::filesystem;
using serial::test::PtyPair;
using serial::test::TempFolder;
using serial::test::WaitUntil;

constexpr const char* kGone = ": device gone; waiting for it to come back";
constexpr const char* kBack = ": device back, reopened with the same settings";
// Re-plugs in the stress test, and the time all of them together may take at most.
constexpr int kReplugRounds = 100;
constexpr auto kStressLimit = std::chrono::seconds(60);

void Nap() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class ReplugTest : public ::testing::Test {
 public:  // the table rows reach in through a reference
  void SetUp() override {
    port.SetSyncMethod(serial::TSyncMethod::smNone);  // as the server runs it
    port.OnRxChar = [this](int count) { pump.Deliver(count); };
    port.OnAfterOpen = [this] { buffer.Clear(); };
    port.OnAfterClose = [this] { buffer.Clear(); };
  }
  fs::path Link(const char* name = "dev0") const { return folder.Path() / "by-id" / name; }
  // Plugs a new device in under `name`; with `usb_serial`, sysfs first shows it as a USB adapter
  // with that serial number, as the kernel does before the name appears.
  PtyPair& Plug(const char* name = "dev0", const std::string& usb_serial = "") {
    devices.push_back(std::make_unique<PtyPair>());
    if (!usb_serial.empty()) FakeUsbSysfs(fs::path(devices.back()->Path()).filename(), usb_serial);
    fs::create_directories(Link(name).parent_path());
    fs::create_symlink(devices.back()->Path(), Link(name));
    return *devices.back();
  }
  // Pulls the newest device out; the by-id folder goes too when asked, as with the last adapter.
  void Unplug(bool folder_too = false) {
    devices.back()->HangUp();
    fs::remove(Link());
    if (folder_too) fs::remove_all(Link().parent_path());
  }
  void FakeUsbSysfs(const fs::path& tty, const std::string& usb_serial) const {
    const fs::path usb = roots.sys / "devices/usb1" / usb_serial;
    fs::create_directories(usb / "tty");
    std::ofstream(usb / "idVendor") << "0403\n";
    std::ofstream(usb / "idProduct") << "6001\n";
    std::ofstream(usb / "serial") << usb_serial << "\n";
    const fs::path entry = roots.sys / "class/tty" / tty;
    fs::remove_all(entry);  // the system may give a new device the number of one gone
    fs::create_directories(entry);
    fs::create_symlink(usb / "tty", entry / "device");
  }
  int LogCount(const std::string& what) {
    std::lock_guard hold(log_lock);
    int count = 0;
    for (const std::string& line : log) count += line == "Serial port " + Link().string() + what;
    return count;
  }
  bool WaitForLog(const std::string& what, int count) {
    return WaitUntil([&] { return LogCount(what) >= count; }, Nap);
  }
  // Waits until the watch has looked at the folder once more after `action`.
  void AfterALook(const std::function<void()>& action) {
    const std::uint64_t before = access.DeviceChecks();
    action();
    ASSERT_TRUE(WaitUntil([&] { return access.DeviceChecks() > before; }, Nap));
  }
  std::string Received() {
    std::string out;
    access.Receive(out);
    return out;
  }

  TempFolder folder;
  serial::SystemRoots roots{folder.Path() / "dev", folder.Path() / "sys", "/proc"};
  std::vector<std::unique_ptr<PtyPair>> devices;
  std::mutex log_lock;
  std::vector<std::string> log;
  TReceiveBuffer buffer{nullptr};
  ReceivePump pump{port, buffer};
  serial::TSerialPort port;
  PortAccess access{port,
                    buffer,
                    pump,
                    [this](std::string_view line) {
                      std::lock_guard hold(log_lock);
                      log.emplace_back(line);
                    },
                    nullptr,
                    roots};
};

TEST_F(ReplugTest, SameNameIsReopenedWithTheSameSettings) {
  Plug();
  ASSERT_TRUE(
      access.OpenPort({base::AsciiUpper(Link().string()), "19200", "7", "even", "2", "none"}));
  const std::string settings = access.IsOpenText();
  ASSERT_EQ(settings, base::AsciiUpper(Link().string()) + " 19200 7 Even 2 None");
  devices.back()->Write("before");
  ASSERT_TRUE(WaitUntil([&] { return Received() == "before"; }, Nap));

  Unplug(true);
  ASSERT_TRUE(WaitForLog(kGone, 1));
  EXPECT_EQ(access.IsOpenText(), "");
  EXPECT_FALSE(access.Send("x"));
  EXPECT_EQ(Received(), "before");  // what came before the loss stays for the page

  PtyPair& back = Plug();
  ASSERT_TRUE(WaitUntil([&] { return !access.IsOpenText().empty(); }, Nap));
  EXPECT_EQ(access.IsOpenText(), settings);
  ASSERT_TRUE(access.Send("PING\r"));
  EXPECT_EQ(back.Read(5), "PING\r");
  back.Write("PONG");
  EXPECT_TRUE(WaitUntil([&] { return Received() == "beforePONG"; }, Nap));
  EXPECT_EQ(LogCount(kGone), 1);
  EXPECT_EQ(LogCount(kBack), 1);
}

// Each row: what happens while the port waits, then whether the device plugged back under dev0
// is taken.
TEST_F(ReplugTest, WhatEndsTheWait) {
  struct Row {
    const char* what;
    std::function<void(ReplugTest&)> meanwhile;
    bool reopened;
  };
  const Row rows[] = {
      {"nothing", [](ReplugTest&) {}, true},
      {"another name",
       [](ReplugTest& t) {
         t.AfterALook([&] { t.Plug("dev1"); });
         EXPECT_EQ(t.access.IsOpenText(), "");  // looked at and left alone
       },
       true},
      {"closeport", [](ReplugTest& t) { EXPECT_TRUE(t.access.ClosePort()); }, false},
      {"openport of the missing device",
       [](ReplugTest& t) {
         EXPECT_FALSE(t.access.OpenPort(
             {base::AsciiUpper(t.Link().string()), "9600", "8", "none", "1", "none"}));
       },
       true},
      {"openport of another port",
       [](ReplugTest& t) {
         PtyPair& other = t.Plug("other");
         EXPECT_TRUE(
             t.access.OpenPort({base::AsciiUpper(other.Path()), "9600", "8", "none", "1", "none"}));
       },
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::error_code ignored;
    fs::remove_all(folder.Path() / "by-id", ignored);
    {
      std::lock_guard hold(log_lock);
      log.clear();
    }
    Plug();
    ASSERT_TRUE(
        access.OpenPort({base::AsciiUpper(Link().string()), "9600", "8", "none", "1", "none"}));
    Unplug();
    ASSERT_TRUE(WaitForLog(kGone, 1));
    // Ending the wait wakes the watch once, as the plug does while it waits.
    PtyPair* back = nullptr;
    AfterALook([&] {
      row.meanwhile(*this);
      back = &Plug();
    });
    if (row.reopened) {
      ASSERT_TRUE(WaitForLog(kBack, 1));
      ASSERT_TRUE(access.Send("ok"));
      EXPECT_EQ(back->Read(2), "ok");
    } else {
      EXPECT_EQ(LogCount(kBack), 0);
      EXPECT_NE(access.IsOpenText().rfind(base::AsciiUpper(Link().string()), 0), 0U);
    }
    EXPECT_EQ(LogCount(kGone), 1);  // one loss, however the wait went on or ended
    access.ClosePort();
  }
}

// Opened by a name the system hands to whichever device comes next: another adapter that gets
// the name is logged and left alone; the one that went is taken back.
TEST_F(ReplugTest, AnotherDeviceUnderTheSameNameIsNotReopened) {
  Plug("dev0", "A1");
  ASSERT_TRUE(access.OpenPort(
      {base::AsciiUpper(Link().string()), "9600", "8", "none", "1", "none", Link().string()}));
  Unplug();
  ASSERT_TRUE(WaitForLog(kGone, 1));
  EXPECT_EQ(access.WaitingFor(), Link());

  Plug("dev0", "B2");
  ASSERT_TRUE(
      WaitForLog(": another device appeared under this name (USB serial 0403:6001 B2); "
                 "not reopened, still waiting for USB serial 0403:6001 A1",
                 1));
  EXPECT_EQ(access.IsOpenText(), "");
  EXPECT_EQ(LogCount(kBack), 0);
  EXPECT_EQ(access.WaitingFor(), Link());

  Unplug();
  PtyPair& back = Plug("dev0", "A1");
  ASSERT_TRUE(WaitForLog(kBack, 1));
  EXPECT_EQ(access.WaitingFor(), fs::path());
  ASSERT_TRUE(access.Send("ok"));
  EXPECT_EQ(back.Read(2), "ok");
}

// Unplug and plug back many times while another thread keeps using the port: nothing hangs,
// every loss and every return is logged once, and the port works at the end.
TEST_F(ReplugTest, ManyReplugsUnderTraffic) {
  Plug();
  ASSERT_TRUE(
      access.OpenPort({base::AsciiUpper(Link().string()), "115200", "8", "none", "1", "none"}));
  std::atomic<bool> done{false};
  std::atomic<int> sent{0};
  std::jthread user([&] {
    const auto until = std::chrono::steady_clock::now() + kStressLimit;
    while (!done.load() && std::chrono::steady_clock::now() < until) {
      sent += access.Send("s") ? 1 : 0;
      Received();
      access.IsOpenText();
      access.FlushReceived();
      Nap();
    }
  });
  // Declared after the thread, so a failed assertion stops it before the join.
  const struct StopUser {
    std::atomic<bool>& done;
    ~StopUser() { done.store(true); }
  } stop_user{done};
  const auto until = std::chrono::steady_clock::now() + kStressLimit;
  for (int round = 1; round <= kReplugRounds && std::chrono::steady_clock::now() < until; ++round) {
    Unplug(round % 2 == 0);
    ASSERT_TRUE(WaitForLog(kGone, round)) << round;
    Plug();
    ASSERT_TRUE(WaitForLog(kBack, round)) << round;
  }
  done.store(true);
  user.join();
  EXPECT_EQ(LogCount(kGone), kReplugRounds);
  EXPECT_EQ(LogCount(kBack), kReplugRounds);
  EXPECT_GT(sent.load(), 0);
  ASSERT_TRUE(access.Send("end"));
  std::string seen;
  EXPECT_TRUE(WaitUntil([&] { return (seen += devices.back()->Read(1)).ends_with("end"); }, [] {}));
}

}  // namespace
}  // namespace orvelle::app

namespace orvelle::app {
namespace {

// The port named at start, written in its real spelling: a device that is not there yet is
// waited for with one log line and opened, with the open event, when it appears; after that it
// is followed through a re-plug like any port openport opened.
TEST_F(ReplugTest, PortOpenedAtStartWaitsForItsDevice) {
  std::atomic<int> opens{0};
  port.OnAfterOpen = [this, &opens] {
    buffer.Clear();
    ++opens;
  };
  EXPECT_FALSE(access.OpenAtStart({Link().string(), "19200", "7", "even", "2", "none"}));
  EXPECT_EQ(LogCount(": not there yet; waiting for it"), 1);
  EXPECT_EQ(access.IsOpenText(), "");

  PtyPair& device = Plug();
  ASSERT_TRUE(WaitUntil([&] { return !access.IsOpenText().empty(); }, Nap));
  EXPECT_EQ(access.IsOpenText(), base::AsciiUpper(Link().string()) + " 19200 7 Even 2 None");
  EXPECT_EQ(opens.load(), 1);
  EXPECT_EQ(LogCount(": device there, opened"), 1);
  device.Write("T=1");
  ASSERT_TRUE(WaitUntil([&] { return Received() == "T=1"; }, Nap));

  Unplug();
  ASSERT_TRUE(WaitForLog(kGone, 1));
  Plug();
  ASSERT_TRUE(WaitForLog(kBack, 1));
  EXPECT_EQ(LogCount(": not there yet; waiting for it"), 1);

  // A device that is there is opened at once, without a wait.
  EXPECT_TRUE(access.OpenAtStart({Link().string(), "9600", "8", "none", "1", "none"}));
  EXPECT_EQ(access.IsOpenText(), base::AsciiUpper(Link().string()) + " 9600 8 None 1 None");
}

}  // namespace
}  // namespace orvelle::app
