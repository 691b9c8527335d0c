// Which device files the port may open: a serial line or a pseudo-terminal slave, looked at
// without opening it, since merely opening some devices acts (a watchdog arms, a tape rewinds).
#pragma once

#include <sys/stat.h>

#include <filesystem>

namespace orvelle::serial {

// Where sysfs is mounted; tests pass a fake tree instead.
inline constexpr const char* kSysfsRoot = "/sys";

// True for a character device of the tty class (its sysfs subsystem link ends in "/tty") or a
// pseudo-terminal slave, but never a virtual console, /dev/tty, /dev/console or /dev/ptmx.
// Reads only the sysfs link of the device number; `info` is the device's stat record.
bool IsSerialDevice(const struct stat& info, const std::filesystem::path& sysfs_root);

// The result of looking at a port's device file before any open.
struct SerialDeviceLookup {
  std::filesystem::path device;  // the path with every symlink resolved, when it exists
  int error = 0;                 // errno of a lookup that failed (a missing device: ENOENT)
  bool serial = false;           // IsSerialDevice of what `device` names
};

// Resolves symlinks (so /dev/serial/by-id links work) and stats the target; never opens it.
SerialDeviceLookup LookUpSerialDevice(const std::filesystem::path& path,
                                      const std::filesystem::path& sysfs_root = kSysfsRoot);

}  // namespace orvelle::serial
