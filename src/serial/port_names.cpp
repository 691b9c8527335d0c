// Name resolution against the file system and the probe of enumports.
#include "serial/port_names.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <system_error>
#include <vector>

#include "base/ascii_text.h"
#include "base/c_string.h"
#include "base/unique_fd.h"

namespace orvelle::serial {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view kComPrefix = "COM";
constexpr const char* kDevFolder = "/dev";
constexpr const char* kSysTtyFolder = "/sys/class/tty";
// Longer than any device path, short enough that a hostile name cannot flood the log.
constexpr std::size_t kLoggedNameLimit = 200;
constexpr std::string_view kCutMark = "...";

// The entry of `folder` named `component`: the exact name first, else the first (in sorted
// order) that differs only in case.
std::string MatchComponent(const fs::path& folder, const std::string& component) {
  std::error_code error;
  if (fs::exists(folder / component, error)) return component;
  std::vector<std::string> matches;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    std::string name = entry.path().filename().string();
    if (base::EqualsIgnoreCase(name, component)) matches.push_back(std::move(name));
  }
  if (matches.empty()) return component;
  std::sort(matches.begin(), matches.end());
  return matches.front();
}

fs::path ResolveAbsolute(const fs::path& path) {
  fs::path result = "/";
  for (const fs::path& part : path.relative_path()) result /= MatchComponent(result, part.string());
  return result;
}

// n for "COMn" with n >= 1, else 0.
unsigned ComNumber(std::string_view name) {
  if (name.size() <= kComPrefix.size() || !base::EqualsIgnoreCase(name.substr(0, 3), kComPrefix))
    return 0;
  unsigned n = 0;
  for (char c : name.substr(kComPrefix.size())) {
    if (c < '0' || c > '9' || n > 100000) return 0;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n;
}

// Legacy ttyS entries exist whether or not a UART stands behind them.
bool HasUart(int fd, const std::string& name) {
  if (name.rfind("ttyS", 0) != 0) return true;
  serial_struct info{};
  return ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
}

}  // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    std::size_t end = s.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(s[end - 1]))) --end;
    const std::string digits = s.substr(end);
    return std::make_pair(s.substr(0, end), digits.empty() ? -1L : std::stol(digits.substr(0, 9)));
  };
  return split(a) < split(b);
}

fs::path ResolvePortName(std::string_view name) {
  if (name.empty()) return fs::path(kDevFolder) / "";
  if (name.front() == '/') return ResolveAbsolute(fs::path(name).lexically_normal());
  if (const unsigned n = ComNumber(name); n > 0) {
    return fs::path(kDevFolder) / ("ttyS" + std::to_string(n - 1));
  }
  return ResolveAbsolute((fs::path(kDevFolder) / std::string(name)).lexically_normal());
}

base::UniqueFd OpenExclusive(const fs::path& path) {
  // A NUL would make the open name another device than the one resolved.
  if (!base::FitsCString(path.native())) {
    errno = ENOENT;
    return base::UniqueFd();
  }
  base::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return fd;
  // flock keeps out every other opener, root included; TIOCEXCL also keeps out plain opens
  // where the device is a terminal (a non-terminal fails later, on its line settings).
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
    ::ioctl(fd.Get(), TIOCEXCL);
    return fd;
  }
  const int error = errno;
  fd.Reset();
  errno = error;
  return fd;
}

std::string EnumPortsIn(const fs::path& class_folder, const fs::path& dev_folder,
                        const fs::path& sysfs_root) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(class_folder, error)) {
    if (fs::exists(entry.path() / "device", error)) names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  std::string result;
  for (const std::string& name : names) {
    const fs::path path = dev_folder / name;
    // The probe is an open too, so it may only touch what the port itself would open.
    if (!LookUpSerialDevice(path, sysfs_root).serial) continue;
    base::UniqueFd fd = OpenExclusive(path);
    if (!fd.Valid() || !HasUart(fd.Get(), name)) continue;
    if (!result.empty()) result += ' ';
    result += base::AsciiUpper(path.string());
  }
  return result;
}

std::string EnumPorts() {
  return EnumPortsIn(kSysTtyFolder, kDevFolder, kSysfsRoot);
}

std::string PrintablePortName(std::string_view name) {
  const bool cut = name.size() > kLoggedNameLimit;
  std::string text(cut ? name.substr(0, kLoggedNameLimit - kCutMark.size()) : name);
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  if (cut) text += kCutMark;
  return text;
}

}  // namespace orvelle::serial
