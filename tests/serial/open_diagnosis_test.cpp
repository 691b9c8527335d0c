// Why a port will not open: each reason from a real situation where one can be made (an
// unprivileged process, a child holding the device locked, a missing name, /dev/null) or from
// an injected identity or fake process table where it cannot.
#include "serial/open_diagnosis.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>

#include "fake_device_tree.h"

namespace orvelle::serial {
namespace {

namespace fs = std::filesystem;

// The unprivileged user and group the real permission check runs as.
constexpr uid_t kNobody = 65534;

// Runs `work` in a child process and returns what it wrote to its pipe; empty on any failure.
std::string InChild(const std::function<std::string()>& work) {
  int out[2];
  if (::pipe(out) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(out[0]);
    const std::string text = work();
    const ssize_t written = ::write(out[1], text.data(), text.size());
    ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  ::close(out[1]);
  std::string text;
  char buffer[4096];
  for (pollfd set{out[0], POLLIN, 0}; ::poll(&set, 1, test::kWaitLimitMs) > 0;) {
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  ::waitpid(pid, nullptr, 0);
  return text;
}

std::string AsNobody(const fs::path& device, const SystemRoots& roots) {
  return InChild([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
      return std::string("cannot drop privileges");
    }
    return ProbeOpenFailure(device, roots, ProcessIdentity());
  });
}

// A child that opens the device, locks it as the port would and keeps it until the result of
// `look` is in; `look` gets the child's pid.
std::string WhileHeld(const fs::path& device, const std::function<std::string(pid_t)>& look) {
  int ready[2];
  int stop[2];
  if (::pipe(ready) != 0 || ::pipe(stop) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(stop[1]);  // so the parent's close ends the wait below
    ::close(ready[0]);
    ::prctl(PR_SET_NAME, "port-holder");
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
    char ignored;
    pollfd set{stop[0], POLLIN, 0};
    ::poll(&set, 1, test::kWaitLimitMs * 4);
    ::_exit(::read(stop[0], &ignored, 1) < 0 ? 1 : 0);
  }
  ::close(ready[1]);
  ::close(stop[0]);
  char ok = '0';
  pollfd set{ready[0], POLLIN, 0};
  if (::poll(&set, 1, test::kWaitLimitMs) <= 0 || ::read(ready[0], &ok, 1) != 1) ok = '0';
  const std::string reason = ok == '1' ? look(pid) : std::string("the child could not lock it");
  ::close(stop[1]);
  ::close(ready[0]);
  ::waitpid(pid, nullptr, 0);
  return reason;
}

// A process table holding one process, whose descriptor 3 is `device`.
void FakeProcess(const fs::path& proc, const std::string& pid, const std::string& comm,
                 const fs::path& device) {
  fs::create_directories(proc / pid / "fd");
  std::ofstream(proc / pid / "comm") << comm << "\n";
  fs::create_symlink(device, proc / pid / "fd" / "3");
}

std::string GroupOf(const fs::path& device) {
  struct stat info {};
  if (::stat(device.c_str(), &info) != 0) return "?";
  const group* found = ::getgrgid(info.st_gid);
  return found ? found->gr_name : std::to_string(info.st_gid);
}

gid_t GidOf(const fs::path& device) {
  struct stat info {};
  ::stat(device.c_str(), &info);
  return info.st_gid;
}

TEST(OpenDiagnosisTest, EachReasonSaysWhyAndWhatToDo) {
  test::FakeDeviceTree tree;
  const SystemRoots roots = tree.Roots();
  const fs::path pty = tree.Pty().Path();
  const std::string dev = tree.Dev().string();
  const std::string group = GroupOf(pty);
  const gid_t gid = GidOf(pty);
  test::TempFolder proc;
  FakeProcess(proc.Path(), "4242", "ModemManager", pty);
  const Identity outsider{1234, "orvelle", {1234}, {1234}};
  const Identity joined_late{1234, "orvelle", {1234}, {1234, gid}};
  const Identity in_group{1234, "orvelle", {1234, gid}, {1234, gid}};
  struct Case {
    const char* what;
    std::function<std::string()> reason;
    std::vector<std::string> want;  // pieces the reason holds, in this order
  };
  std::vector<Case> cases = {
      // A pseudo-terminal belongs to the system group tty, which can only write to it.
      {"permission, a system group that may not read",
       [&] { return DiagnoseOpenFailure(pty, EACCES, roots, outsider); },
       {"permission denied: " + pty.string(), ":" + group + " with mode 0", "runs as orvelle",
        "only its owner may open it", "fix: a udev rule", "KERNEL==\"" + pty.filename().string()}},
      {"busy, held and locked by a process",
       [&] {
         // The holder's pid is only known here, so it is put in the text the table expects.
         return WhileHeld(pty, [&](pid_t pid) {
           std::string reason = ProbeOpenFailure(dev + "/ttyUSB0", roots, outsider);
           const std::string named = "pid " + std::to_string(pid) + " ";
           if (const auto at = reason.find(named); at != std::string::npos) {
             reason.replace(at, named.size(), "pid HOLDER ");
           }
           return reason;
         });
       },
       {"busy: " + dev + "/ttyUSB0 is held by pid HOLDER (port-holder)", "close that program"}},
      {"busy, ModemManager holds it",
       [&] {
         return DiagnoseOpenFailure(dev + "/ttyUSB0", EBUSY, {roots.dev, roots.sys, proc.Path()},
                                    outsider);
       },
       {"busy: " + dev + "/ttyUSB0 is held by pid 4242 (ModemManager)",
        "ModemManager is running and may be probing"}},
      {"missing, the ports that exist are named",
       [&] { return ProbeOpenFailure(dev + "/ttyUSB9", roots, outsider); },
       {"no such device: " + dev + "/ttyUSB9 does not exist now; present ports: " + dev +
        "/serial/by-id/" + test::FakeDeviceTree::kById + " (" + dev + "/ttyUSB0)"}},
      {"not a serial port",
       [&] { return ProbeOpenFailure("/dev/null", roots, outsider); },
       {"not a serial port"}},
      {"anything else: the system's message",
       [&] { return DiagnoseOpenFailure(pty, EIO, roots, outsider); },
       {"cannot open " + pty.string() + ": Input/output error"}},
  };
  if (::geteuid() == 0) {
    cases.push_back({"permission, checked as an unprivileged process",
                     [&] { return AsNobody(pty, roots); },
                     {"permission denied: " + pty.string(), "runs as nobody",
                      "only its owner may open it", "GROUP=\"dialout\", MODE=\"0660\""}});
  }
  for (const Case& c : cases) {
    const std::string reason = c.reason();
    std::size_t at = 0;
    for (const std::string& piece : c.want) {
      const std::size_t found = reason.find(piece, at);
      EXPECT_NE(found, std::string::npos) << c.what << ": \"" << piece << "\" in: " << reason;
      if (found != std::string::npos) at = found + piece.size();
    }
  }
  EXPECT_EQ(ProbeOpenFailure(dev + "/ttyUSB0", roots, outsider), "");
}

// Joining the device's group is advised only for a group that may read and write it and is not
// root or another system group; a device only its owner may open gets the udev rule.
TEST(OpenDiagnosisTest, GroupAdviceOnlyForAGroupThatMayOpenTheDevice) {
  const group* serial = ::getgrnam(kSerialGroup);
  const gid_t dialout = serial ? serial->gr_gid : 20;
  const gid_t staff = 1500;  // a group of ordinary users
  const Identity outsider{1234, "orvelle", {1234}, {1234}};
  const Identity in_dialout{1234, "orvelle", {1234, dialout}, {1234, dialout}};
  const Identity late{1234, "orvelle", {1234}, {1234, staff}};
  const group* five = ::getgrgid(5);  // a system group (tty on Debian)
  const std::string system_group = five ? five->gr_name : "5";
  struct Case {
    DeviceAccess access;
    const Identity& who;
    std::string want;  // the text after "runs as orvelle"
  };
  const std::string udev =
      "; fix: a udev rule in /etc/udev/rules.d/ such as SUBSYSTEM==\"tty\", KERNEL==\"ttyUSB0\", "
      "GROUP=\"dialout\", MODE=\"0660\", then plug the device in again";
  const std::string join = ", and sudo usermod -aG dialout orvelle, then restart the server";
  const Case cases[] = {
      {{0, 0, 020600}, outsider, ", and only its owner may open it" + udev + join},
      {{0, 0, 020660}, outsider, ", and its group root is a system group" + udev + join},
      {{0, 5, 020660}, in_dialout, ", and its group " + system_group + " is a system group" + udev},
      {{0, dialout, 020660},
       outsider,
       ", who is not in group dialout; fix: sudo usermod -aG dialout orvelle, then restart the "
       "server"},
      {{0, staff, 020660},
       late,
       ", who joined group 1500 after this server started; fix: restart the server"},
      {{0, dialout, 020600},
       in_dialout,
       ", in group dialout, but the mode gives that group no read and write access; fix: sudo "
       "chmod g+rw /dev/ttyUSB0 (or a udev rule that sets it)"},
      {{0, staff, 020640}, outsider, ", and only its owner may open it" + udev + join},
  };
  for (const Case& c : cases) {
    const std::string reason = DescribePermission("/dev/ttyUSB0", c.access, c.who);
    const std::string runs_as = "runs as orvelle";
    const auto at = reason.find(runs_as);
    ASSERT_NE(at, std::string::npos) << reason;
    EXPECT_EQ(reason.substr(at + runs_as.size()), c.want) << reason;
  }
}

}  // namespace
}  // namespace orvelle::serial
