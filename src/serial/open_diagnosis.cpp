// The reasons behind a failed open. Device names, process names and user names are all shown
// as they stand: every caller writes them through the log (control bytes escaped) or JSON.
#include "serial/open_diagnosis.h"

#include <fmt/core.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <system_error>

#include "serial/port_inventory.h"
#include "serial/port_names.h"

namespace orvelle::serial {
namespace fs = std::filesystem;
namespace {

// Enough for any real system's processes; a bound so one look cannot take long on a huge one.
constexpr std::size_t kMaxProcessesScanned = 8192;
// Descriptors looked at per process; a process with more is unusual and only partly seen.
constexpr std::size_t kMaxFdsPerProcess = 1024;
// Holders named in one reason; more would only make the line long.
constexpr std::size_t kMaxHoldersNamed = 4;
// Present ports named when a port is missing.
constexpr std::size_t kMaxPortsNamed = 16;
// Buffer for the passwd and group lookups; entries longer than this are shown by number.
constexpr std::size_t kNameBuffer = 16384;
// A process name as the kernel keeps it is at most 16 bytes; more is never read.
constexpr std::size_t kCommLimit = 64;
// Groups looked up for the user; more than any real account has.
constexpr int kMaxGroups = 256;
constexpr std::string_view kModemManager = "ModemManager";

std::string UserName(uid_t uid) {
  std::vector<char> buffer(kNameBuffer);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(kNameBuffer);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    return found->gr_name;
  }
  return std::to_string(gid);
}

bool Contains(const std::vector<gid_t>& groups, gid_t gid) {
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// The first group id that is not a system group's (Debian's policy), bar the serial group.
constexpr gid_t kFirstUserGroup = 100;

gid_t SerialGroupId() {
  std::vector<char> buffer(kNameBuffer);
  group entry{};
  group* found = nullptr;
  if (::getgrnam_r(kSerialGroup, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    return found->gr_gid;
  }
  return static_cast<gid_t>(-1);
}

// A group this server may be told to join: never root, nor another system group.
bool JoinableGroup(gid_t gid) {
  return gid != 0 && (gid >= kFirstUserGroup || gid == SerialGroupId());
}

std::string UdevAdvice(const fs::path& device, const Identity& who) {
  std::string advice = fmt::format(
      "; fix: a udev rule in /etc/udev/rules.d/ such as SUBSYSTEM==\"tty\", KERNEL==\"{}\", "
      "GROUP=\"{}\", MODE=\"0660\", then plug the device in again",
      device.filename().string(), kSerialGroup);
  const gid_t serial = SerialGroupId();
  if (!Contains(who.process_groups, serial)) {
    advice += fmt::format(", and sudo usermod -aG {} {}, then restart the server", kSerialGroup,
                          who.user);
  }
  return advice;
}

std::string PermissionReason(const fs::path& device, const Identity& who) {
  struct stat info {};
  if (::stat(device.c_str(), &info) != 0) {
    return fmt::format("permission denied: {} cannot be looked at by {}", device.string(),
                       who.user);
  }
  return DescribePermission(device, {info.st_uid, info.st_gid, info.st_mode}, who);
}

std::string ReadComm(const fs::path& process) {
  std::ifstream in(process / "comm");
  std::string name(kCommLimit, '\0');
  in.read(name.data(), static_cast<std::streamsize>(name.size()));
  name.resize(static_cast<std::size_t>(in.gcount()));
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

bool IsProcessFolder(const fs::path& entry) {
  const std::string name = entry.filename().string();
  return !name.empty() &&
         std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool HoldsDevice(const fs::path& process, const fs::path& device) {
  std::error_code error;
  std::size_t seen = 0;
  for (const auto& fd : fs::directory_iterator(process / "fd", error)) {
    if (++seen > kMaxFdsPerProcess) break;
    std::error_code link_error;
    if (fs::read_symlink(fd.path(), link_error) == device) return true;
  }
  return false;
}

// What a bounded look through the process table found about one device.
struct ProcessScan {
  std::vector<std::string> holders;  // "pid 123 (name)"
  bool modem_manager = false;        // a process of that name runs
};

ProcessScan ScanProcesses(const fs::path& device, const fs::path& proc_root) {
  ProcessScan scan;
  const std::string self = std::to_string(::getpid());
  std::error_code error;
  std::size_t seen = 0;
  for (const auto& entry : fs::directory_iterator(proc_root, error)) {
    if (!IsProcessFolder(entry.path())) continue;
    if (++seen > kMaxProcessesScanned) break;
    const std::string comm = ReadComm(entry.path());
    if (comm == kModemManager) scan.modem_manager = true;
    if (entry.path().filename() == self || scan.holders.size() >= kMaxHoldersNamed) continue;
    if (HoldsDevice(entry.path(), device)) {
      scan.holders.push_back(fmt::format("pid {} ({})", entry.path().filename().string(), comm));
    }
  }
  return scan;
}

bool ModemManagerProbes(const fs::path& device) {
  const std::string name = device.filename().string();
  return name.starts_with("ttyACM") || name.starts_with("ttyUSB");
}

std::string BusyReason(const fs::path& device, const fs::path& shown, const SystemRoots& roots) {
  const ProcessScan scan = ScanProcesses(device, roots.proc);
  std::string reason;
  if (scan.holders.empty()) {
    reason = fmt::format(
        "busy: another process has {} open and locked (not visible to this "
        "server); close the program that uses it",
        shown.string());
  } else {
    reason = fmt::format("busy: {} is held by ", shown.string());
    for (std::size_t i = 0; i < scan.holders.size(); ++i) {
      reason += (i == 0 ? "" : ", ") + scan.holders[i];
    }
    reason += "; close that program or choose another port";
  }
  if (scan.modem_manager && (ModemManagerProbes(device) || ModemManagerProbes(shown))) {
    reason +=
        "; ModemManager is running and may be probing the device: stop it (sudo systemctl "
        "stop ModemManager) or have a udev rule set ID_MM_DEVICE_IGNORE=1 for it";
  }
  return reason;
}

std::string MissingReason(const fs::path& shown, const SystemRoots& roots) {
  std::vector<std::string> names;
  for (const PortRecord& port : FindPorts(roots)) {
    if (names.size() == kMaxPortsNamed) break;
    names.push_back(port.stable_names.empty() ? port.path
                                              : port.stable_names.front() + " (" + port.path + ")");
  }
  std::string reason = fmt::format("no such device: {} does not exist now", shown.string());
  if (names.empty()) return reason + "; no serial ports are present; plug the device in";
  reason += "; present ports: ";
  for (std::size_t i = 0; i < names.size(); ++i) reason += (i == 0 ? "" : ", ") + names[i];
  return reason;
}

}  // namespace

Identity ProcessIdentity() {
  Identity who;
  who.uid = ::geteuid();
  who.user = UserName(who.uid);
  who.process_groups.push_back(::getegid());
  std::vector<gid_t> groups(kMaxGroups);
  const int count = ::getgroups(kMaxGroups, groups.data());
  if (count > 0)
    who.process_groups.insert(who.process_groups.end(), groups.begin(), groups.begin() + count);
  int member_count = kMaxGroups;
  std::vector<gid_t> members(kMaxGroups);
  std::vector<char> buffer(kNameBuffer);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(who.uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      ::getgrouplist(found->pw_name, found->pw_gid, members.data(), &member_count) >= 0) {
    who.member_groups.assign(members.begin(), members.begin() + member_count);
  }
  return who;
}

std::string DescribePermission(const fs::path& device, const DeviceAccess& access,
                               const Identity& who) {
  const std::string group = GroupName(access.group);
  const std::string head =
      fmt::format("permission denied: {} belongs to {}:{} with mode {:04o}; this server runs as {}",
                  device.string(), UserName(access.owner), group, access.mode & 07777, who.user);
  const bool group_rw = (access.mode & 0060) == 0060;
  const bool joinable = JoinableGroup(access.group);
  if (joinable && !group_rw && Contains(who.process_groups, access.group)) {
    return head + fmt::format(
                      ", in group {}, but the mode gives that group no read and write "
                      "access; fix: sudo chmod g+rw {} (or a udev rule that sets it)",
                      group, device.string());
  }
  if (joinable && group_rw && Contains(who.process_groups, access.group)) {
    return head + fmt::format(
                      ", in group {}, which may read and write it; an access list or a "
                      "security module refuses it",
                      group);
  }
  if (joinable && group_rw && Contains(who.member_groups, access.group)) {
    return head + fmt::format(
                      ", who joined group {} after this server started; fix: restart "
                      "the server",
                      group);
  }
  if (joinable && group_rw) {
    return head + fmt::format(
                      ", who is not in group {}; fix: sudo usermod -aG {} {}, then "
                      "restart the server",
                      group, group, who.user);
  }
  const bool others_rw = (access.mode & 0006) == 0006;
  const std::string why = !group_rw && !others_rw
                              ? ", and only its owner may open it"
                              : fmt::format(", and its group {} is a system group", group);
  return head + why + UdevAdvice(device, who);
}

std::string DiagnoseOpenFailure(const fs::path& device, int error, const SystemRoots& roots,
                                const Identity& who) {
  std::error_code ignored;
  const fs::path real = fs::canonical(device, ignored);
  switch (error) {
    case EACCES:
    case EPERM:
      return PermissionReason(real.empty() ? device : real, who);
    case EBUSY:
    case EWOULDBLOCK:
      return BusyReason(real.empty() ? device : real, device, roots);
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return MissingReason(device, roots);
    case ENOTTY:
      return "not a serial port";
    default:
      return fmt::format("cannot open {}: {}", device.string(),
                         std::generic_category().message(error));
  }
}

std::string ProbeOpenFailure(const fs::path& device, const SystemRoots& roots,
                             const Identity& who) {
  const SerialDeviceLookup found = LookUpSerialDevice(device, roots.sys);
  if (found.error != 0) return DiagnoseOpenFailure(device, found.error, roots, who);
  if (!found.serial) return DiagnoseOpenFailure(device, ENOTTY, roots, who);
  if (::access(found.device.c_str(), R_OK | W_OK) != 0) {
    return DiagnoseOpenFailure(device, errno, roots, who);
  }
  const base::UniqueFd probe = OpenExclusive(found.device);
  if (!probe.Valid()) return DiagnoseOpenFailure(device, errno, roots, who);
  return {};
}

}  // namespace orvelle::serial
