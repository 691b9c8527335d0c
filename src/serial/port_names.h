// Port names on Linux: which device path a script's (upper-cased) port name means, and the list
// of serial devices that can be opened now.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "base/unique_fd.h"
#include "serial/device_kind.h"

namespace orvelle::serial {

// COMn is /dev/ttyS(n-1); a bare name is /dev/NAME; an absolute path stands as it is. Each
// component is matched without regard to case against the real file system, so an upper-cased
// name finds its device. A name that matches nothing comes back as given, and opening it fails.
std::filesystem::path ResolvePortName(std::string_view name);

// Device paths of the serial devices that /sys/class/tty shows, that the port's device check
// accepts and that an exclusive open accepts at this moment, upper-cased, separated by single
// blanks, in a stable order.
std::string EnumPorts();

// The same over another sysfs class folder, device folder and sysfs root, for tests.
std::string EnumPortsIn(const std::filesystem::path& class_folder,
                        const std::filesystem::path& dev_folder,
                        const std::filesystem::path& sysfs_root = kSysfsRoot);

// A port name as it may stand in a log line: at most kLoggedNameLimit bytes (longer ones end in
// "..."), control bytes shown as '?', so a name from a request cannot forge or flood the log.
std::string PrintablePortName(std::string_view name);

// Sorts ttyS2 before ttyS10: by the name without its digits, then by the number.
bool NaturalLess(const std::string& a, const std::string& b);

// Opens the device exclusively (O_NONBLOCK, flock, TIOCEXCL); invalid with errno set on failure.
base::UniqueFd OpenExclusive(const std::filesystem::path& path);

}  // namespace orvelle::serial
