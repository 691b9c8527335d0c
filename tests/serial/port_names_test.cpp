// Port names resolved against the real file system, and enumports over a sysfs-like folder whose
// devices are real pseudo-terminals.
#include "serial/port_names.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/ascii_text.h"
#include "pty_pair.h"
#include "serial/serial_port.h"
#include "temp_folder.h"

namespace orvelle::serial {
namespace {

namespace fs = std::filesystem;

using test::TempFolder;

TEST(ResolvePortNameTest, ComNamesAndBareNames) {
  const struct {
    const char* name;
    const char* want;
  } cases[] = {{"COM1", "/dev/ttyS0"}, {"COM12", "/dev/ttyS11"},  {"com3", "/dev/ttyS2"},
               {"NULL", "/dev/null"},  {"null", "/dev/null"},     {"COM", "/dev/COM"},
               {"COMX", "/dev/COMX"},  {"/DEV/NULL", "/dev/null"}};
  for (const auto& c : cases) EXPECT_EQ(ResolvePortName(c.name), fs::path(c.want)) << c.name;
}

TEST(ResolvePortNameTest, AbsolutePathsMatchEachComponentWithoutCase) {
  TempFolder folder;
  fs::create_directories(folder.Path() / "by-id");
  std::ofstream(folder.Path() / "by-id" / "usb-Maker_Adapter-if00") << "";
  const fs::path upper =
      base::AsciiUpper((folder.Path() / "by-id" / "usb-Maker_Adapter-if00").string());
  EXPECT_EQ(ResolvePortName(upper.string()), folder.Path() / "by-id" / "usb-Maker_Adapter-if00");
  // A component that matches nothing stays as given, so opening it reports file-not-found.
  EXPECT_EQ(ResolvePortName(upper.string() + "X"),
            folder.Path() / "by-id" / "USB-MAKER_ADAPTER-IF00X");
}

TEST(ResolvePortNameTest, UpperCasedPseudoTerminalOpens) {
  test::PtyPair pty;
  TSerialPort port;
  port.SetEvents(0);
  port.SetPort(base::AsciiUpper(pty.Path()));
  port.Open();
  EXPECT_TRUE(port.Connected());
  port.WriteText("ok");
  EXPECT_EQ(pty.Read(2), "ok");
}

// Entries with a device behind them are listed in natural order, upper-cased; entries without
// one, and devices that someone holds, are not.
TEST(EnumPortsTest, ListsOpenableDevicesOnly) {
  TempFolder sys;
  TempFolder dev;
  test::PtyPair first;
  test::PtyPair second;
  test::PtyPair held;
  const struct {
    const char* name;
    const test::PtyPair* device;
    bool has_device;
  } entries[] = {{"ttyUSB10", &first, true},
                 {"ttyUSB2", &second, true},
                 {"ttyACM0", &held, true},
                 {"tty5", &first, false}};
  for (const auto& e : entries) {
    fs::create_directories(sys.Path() / e.name);
    if (e.has_device) fs::create_directories(sys.Path() / e.name / "device");
    fs::create_symlink(e.device->Path(), dev.Path() / e.name);
  }
  // What is no serial line is neither probed nor listed, even with a device link in sysfs.
  fs::create_directories(sys.Path() / "ttyNUL0" / "device");
  fs::create_symlink("/dev/null", dev.Path() / "ttyNUL0");
  TSerialPort holder;
  holder.SetEvents(0);
  holder.SetPort(held.Path());
  holder.Open();
  const std::string d = base::AsciiUpper(dev.Path().string());
  EXPECT_EQ(EnumPortsIn(sys.Path(), dev.Path()), d + "/TTYUSB2 " + d + "/TTYUSB10");
  holder.Close();
  EXPECT_EQ(EnumPortsIn(sys.Path(), dev.Path()),
            d + "/TTYACM0 " + d + "/TTYUSB2 " + d + "/TTYUSB10");
}

TEST(EnumPortsTest, EmptyWhenNothingIsThere) {
  TempFolder sys;
  EXPECT_EQ(EnumPortsIn(sys.Path(), "/dev"), "");
  EXPECT_EQ(EnumPortsIn(sys.Path() / "missing", "/dev"), "");
}

}  // namespace
}  // namespace orvelle::serial
