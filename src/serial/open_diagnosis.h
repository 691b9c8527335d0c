// Why a port will not open, in words a person can act on: permission (with the command that
// fixes it), busy (with the process that holds the device), missing (with the ports that do
// exist), no serial line, or the system's own message.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "serial/device_kind.h"

namespace orvelle::serial {

// Where the diagnosis looks; tests and the server's hidden test hook point them at a fake tree.
struct SystemRoots {
  std::filesystem::path dev = "/dev";
  std::filesystem::path sys = kSysfsRoot;
  std::filesystem::path proc = "/proc";
};

// Who this server runs as, as far as device permissions go.
struct Identity {
  uid_t uid = 0;
  std::string user;                   // the user's name, or its number when it has none
  std::vector<gid_t> process_groups;  // the groups this process has now (effective included)
  std::vector<gid_t> member_groups;   // the groups the user belongs to now (getgrouplist)
};

// This process's identity, read afresh (group files may have changed since the start).
Identity ProcessIdentity();

// Who may open a device: its owner, group and permission bits.
struct DeviceAccess {
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;
};

// The group that serial devices are given to on this distribution.
inline constexpr const char* kSerialGroup = "dialout";

// The permission-denied line for `device` with the given access: advice to join the device's
// group only when that group may read and write it and is the serial group or not a system group
// (gid 100 and up); for a device no such group may open, a udev rule that gives it to the serial
// group.
std::string DescribePermission(const std::filesystem::path& device, const DeviceAccess& access,
                               const Identity& who);

// One line on why opening `device` failed with errno `error`, and what to do about it.
std::string DiagnoseOpenFailure(const std::filesystem::path& device, int error,
                                const SystemRoots& roots, const Identity& who);

// Why this server could not open `device` now, or empty text when it could. Looks without
// opening first (the device's kind, access rights); only then probes with an exclusive open
// and close, as enumports does.
std::string ProbeOpenFailure(const std::filesystem::path& device, const SystemRoots& roots,
                             const Identity& who);

}  // namespace orvelle::serial
