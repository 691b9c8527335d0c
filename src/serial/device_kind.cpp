// The device check behind the port's open and enumports.
#include "serial/device_kind.h"

#include <fmt/core.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "base/c_string.h"

namespace orvelle::serial {
namespace fs = std::filesystem;
namespace {

// Pseudo-terminal slaves (/dev/pts/N) use this range of majors; sysfs does not list them.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;
// Virtual consoles are major 4 minors 0..63; the same major's higher minors are ttyS lines.
constexpr unsigned kVirtualConsoleMajor = 4;
constexpr unsigned kLastVirtualConsoleMinor = 63;
// Major 5 holds /dev/tty, /dev/console, /dev/ptmx and the kernel-log printer, none of them a line.
constexpr unsigned kTtyAuxMajor = 5;
// What the subsystem link of a tty-class device ends with.
constexpr std::string_view kTtySubsystemEnd = "/tty";

bool InTtySubsystem(unsigned major, unsigned minor, const fs::path& sysfs_root) {
  const fs::path link =
      sysfs_root / "dev" / "char" / fmt::format("{}:{}", major, minor) / "subsystem";
  std::error_code error;
  const std::string target = fs::read_symlink(link, error).string();
  return !error && target.ends_with(kTtySubsystemEnd);
}

}  // namespace

bool IsSerialDevice(const struct stat& info, const fs::path& sysfs_root) {
  if (!S_ISCHR(info.st_mode)) return false;
  const unsigned major = ::major(info.st_rdev);
  const unsigned minor = ::minor(info.st_rdev);
  if (major >= kFirstPtySlaveMajor && major <= kLastPtySlaveMajor) return true;
  if (major == kVirtualConsoleMajor && minor <= kLastVirtualConsoleMinor) return false;
  if (major == kTtyAuxMajor) return false;
  return InTtySubsystem(major, minor, sysfs_root);
}

SerialDeviceLookup LookUpSerialDevice(const fs::path& path, const fs::path& sysfs_root) {
  SerialDeviceLookup result;
  // A NUL would let the look and the open stop at a shorter path than the name given.
  if (!base::FitsCString(path.native())) {
    result.error = ENOENT;
    return result;
  }
  std::error_code error;
  result.device = fs::canonical(path, error);
  struct stat info {};
  if (error) {
    result.error = error.value();
  } else if (::stat(result.device.c_str(), &info) != 0) {
    result.error = errno;
  } else {
    result.serial = IsSerialDevice(info, sysfs_root);
  }
  return result;
}

}  // namespace orvelle::serial
