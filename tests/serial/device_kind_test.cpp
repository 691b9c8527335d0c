// The device check the port makes before any open: device numbers against a fake sysfs tree, and
// real files (pseudo-terminals, /dev/null, a FIFO, a plain file, symlinks) against the real /sys.
#include "serial/device_kind.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "pty_pair.h"
#include "serial/port_names.h"
#include "temp_folder.h"

namespace orvelle::serial {
namespace {

namespace fs = std::filesystem;

// A fake sysfs with a subsystem link for each listed character device number.
class FakeSysfs {
 public:
  void Claim(unsigned major, unsigned minor, const std::string& subsystem) {
    const fs::path entry =
        folder_.Path() / "dev" / "char" / (std::to_string(major) + ":" + std::to_string(minor));
    fs::create_directories(entry);
    fs::create_symlink("../../../class/" + subsystem, entry / "subsystem");
  }
  const fs::path& Root() const { return folder_.Path(); }

 private:
  test::TempFolder folder_;
};

struct stat Record(mode_t type, unsigned major, unsigned minor) {
  struct stat info {};
  info.st_mode = type | 0600;
  info.st_rdev = ::makedev(major, minor);
  return info;
}

// The sysfs tree claims every number below for the tty class where it lists "tty", so the
// consoles, /dev/tty and /dev/ptmx are refused by their numbers, not by a missing entry.
TEST(IsSerialDeviceTest, DeviceNumbersAgainstAFakeSysfs) {
  FakeSysfs sys;
  for (unsigned minor : {0u, 1u, 63u, 64u, 65u}) sys.Claim(4, minor, "tty");
  for (unsigned minor : {0u, 1u, 2u, 3u}) sys.Claim(5, minor, "tty");
  sys.Claim(188, 0, "tty");
  sys.Claim(1, 3, "mem");
  sys.Claim(10, 130, "misc");
  sys.Claim(166, 0, "pretty");
  sys.Claim(8, 0, "tty");
  const struct {
    const char* what;
    struct stat info;
    bool serial;
  } cases[] = {
      {"ttyS0", Record(S_IFCHR, 4, 64), true},
      {"ttyS1", Record(S_IFCHR, 4, 65), true},
      {"ttyS2 unknown to sysfs", Record(S_IFCHR, 4, 66), false},
      {"ttyUSB0", Record(S_IFCHR, 188, 0), true},
      {"first pty slave", Record(S_IFCHR, 136, 3), true},
      {"last pty slave major", Record(S_IFCHR, 143, 0), true},
      {"below the pty majors", Record(S_IFCHR, 135, 0), false},
      {"above the pty majors", Record(S_IFCHR, 144, 0), false},
      {"tty0", Record(S_IFCHR, 4, 0), false},
      {"tty1", Record(S_IFCHR, 4, 1), false},
      {"tty63", Record(S_IFCHR, 4, 63), false},
      {"/dev/tty", Record(S_IFCHR, 5, 0), false},
      {"/dev/console", Record(S_IFCHR, 5, 1), false},
      {"/dev/ptmx", Record(S_IFCHR, 5, 2), false},
      {"kernel log printer", Record(S_IFCHR, 5, 3), false},
      {"/dev/null", Record(S_IFCHR, 1, 3), false},
      {"watchdog", Record(S_IFCHR, 10, 130), false},
      {"class name merely ending in tty", Record(S_IFCHR, 166, 0), false},
      {"block device", Record(S_IFBLK, 8, 0), false},
      {"FIFO with a serial number", Record(S_IFIFO, 4, 64), false},
      {"regular file with a serial number", Record(S_IFREG, 4, 64), false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsSerialDevice(c.info, sys.Root()), c.serial) << c.what;
}

TEST(LookUpSerialDeviceTest, RealFilesAgainstTheRealSysfs) {
  test::PtyPair pty;
  test::TempFolder folder;
  const fs::path plain = folder.Path() / "plain";
  std::ofstream(plain) << "x";
  const fs::path fifo = folder.Path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_directories(folder.Path() / "by-id");
  const fs::path to_pty = folder.Path() / "by-id" / "usb-Maker_Adapter-if00";
  fs::create_symlink(pty.Path(), to_pty);
  const fs::path to_null = folder.Path() / "by-id" / "null";
  fs::create_symlink("/dev/null", to_null);
  const struct {
    fs::path path;
    bool serial;
    fs::path device;  // where the lookup must land; empty: not checked
    int error;
  } cases[] = {
      {pty.Path(), true, pty.Path(), 0},
      {to_pty, true, pty.Path(), 0},
      {"/dev/null", false, "/dev/null", 0},
      {to_null, false, "/dev/null", 0},
      {"/dev/tty", false, {}, 0},
      {"/dev/ptmx", false, {}, 0},
      {plain, false, plain, 0},
      {fifo, false, fifo, 0},
      {folder.Path(), false, folder.Path(), 0},
      {folder.Path() / "missing", false, {}, ENOENT},
      // A NUL would make the look stop at the device's own name.
      {fs::path(pty.Path() + std::string("\0x", 2)), false, {}, ENOENT},
  };
  for (const auto& c : cases) {
    const SerialDeviceLookup found = LookUpSerialDevice(c.path);
    EXPECT_EQ(found.serial, c.serial) << c.path;
    EXPECT_EQ(found.error, c.error) << c.path;
    if (!c.device.empty()) {
      EXPECT_EQ(found.device, c.device) << c.path;
    }
  }
}

TEST(PrintablePortNameTest, BoundedAndWithoutControlBytes) {
  const std::string at_limit(200, 'x');
  const struct {
    std::string name;
    std::string want;
  } cases[] = {
      {"/DEV/WATCHDOG", "/DEV/WATCHDOG"},
      {"", ""},
      {"A\r\n2026 forged line\tB\x7f", "A??2026 forged line?B?"},
      {at_limit, at_limit},
      {at_limit + "y", std::string(197, 'x') + "..."},
      {std::string(100000, '\n'), std::string(197, '?') + "..."},
  };
  for (const auto& c : cases) EXPECT_EQ(PrintablePortName(c.name), c.want) << c.name;
}

}  // namespace
}  // namespace orvelle::serial
