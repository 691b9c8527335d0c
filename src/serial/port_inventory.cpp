// The inventory behind /.orvelle/ports: names from /sys/class/tty and the stable-name folders,
// texts from the USB device folder above each tty, and the JSON writer.
#include "serial/port_inventory.h"

#include <fmt/core.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <system_error>

#include "base/json_text.h"
#include "serial/port_names.h"

namespace orvelle::serial {
namespace fs = std::filesystem;
namespace {

// More devices than any machine carries; the list and the work per request stay bounded.
constexpr std::size_t kMaxPorts = 256;
// Entries read from one folder (tty class, by-id, by-path); a tty class has a few hundred.
constexpr std::size_t kMaxFolderEntries = 4096;
// Stable names kept per device.
constexpr std::size_t kMaxStableNames = 8;
// A sysfs text longer than this is cut: USB string descriptors hold at most 126 characters.
constexpr std::size_t kMaxSysfsText = 256;
// Folders climbed from a tty's device folder looking for the USB device (interface, then device).
constexpr int kMaxClimb = 6;
// What sysfs shows in "type" for a legacy serial entry with no UART behind it.
constexpr std::string_view kUnknownUartType = "0";
constexpr const char* kStableFolders[] = {"serial/by-id", "serial/by-path"};

std::string ReadSysfsText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text(kMaxSysfsText, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::vector<fs::path> FolderEntries(const fs::path& folder) {
  std::vector<fs::path> entries;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entries.size() == kMaxFolderEntries) break;
    entries.push_back(entry.path());
  }
  return entries;
}

fs::path Canonical(const fs::path& path) {
  std::error_code error;
  fs::path result = fs::canonical(path, error);
  return error ? fs::path() : result;
}

// The USB device folder at or above `device_folder`: the first that has an idVendor file.
fs::path UsbDeviceFolder(fs::path folder) {
  std::error_code error;
  for (int climb = 0; climb < kMaxClimb && !folder.empty() && folder.has_relative_path(); ++climb) {
    if (fs::exists(folder / "idVendor", error)) return folder;
    folder = folder.parent_path();
  }
  return {};
}

void ReadSysfsFacts(const fs::path& class_entry, PortRecord& port) {
  std::error_code error;
  port.driver = fs::read_symlink(class_entry / "device" / "driver", error).filename().string();
  const fs::path usb = UsbDeviceFolder(Canonical(class_entry / "device"));
  if (usb.empty()) return;
  port.manufacturer = ReadSysfsText(usb / "manufacturer");
  port.product = ReadSysfsText(usb / "product");
  port.serial_number = ReadSysfsText(usb / "serial");
  port.usb_id = ReadSysfsText(usb / "idVendor") + ":" + ReadSysfsText(usb / "idProduct");
}

bool IsListedTty(const fs::path& class_entry, const SystemRoots& roots) {
  std::error_code error;
  if (!fs::exists(class_entry / "device", error)) return false;
  if (ReadSysfsText(class_entry / "type") == kUnknownUartType) return false;
  return LookUpSerialDevice(roots.dev / class_entry.filename(), roots.sys).serial;
}

// Every stable-name link under the dev root, by the device it resolves to, by-id first.
std::map<fs::path, std::vector<std::string>> StableNames(const fs::path& dev_root) {
  std::map<fs::path, std::vector<std::string>> names;
  for (const char* folder : kStableFolders) {
    std::vector<fs::path> links = FolderEntries(dev_root / folder);
    std::sort(links.begin(), links.end());
    for (const fs::path& link : links) {
      const fs::path target = Canonical(link);
      if (!target.empty() && names[target].size() < kMaxStableNames) {
        names[target].push_back(link.string());
      }
    }
  }
  return names;
}

}  // namespace

std::vector<PortRecord> FindPorts(const SystemRoots& roots) {
  std::vector<fs::path> entries = FolderEntries(roots.sys / "class" / "tty");
  std::sort(entries.begin(), entries.end(), [](const fs::path& a, const fs::path& b) {
    return NaturalLess(a.filename().string(), b.filename().string());
  });
  auto names = StableNames(roots.dev);
  std::vector<PortRecord> ports;
  for (const fs::path& entry : entries) {
    if (ports.size() == kMaxPorts) break;
    if (!IsListedTty(entry, roots)) continue;
    PortRecord port;
    port.path = (roots.dev / entry.filename()).string();
    if (auto found = names.find(Canonical(port.path)); found != names.end()) {
      port.stable_names = std::move(found->second);
      names.erase(found);
    }
    ReadSysfsFacts(entry, port);
    ports.push_back(std::move(port));
  }
  // Links to devices the tty class does not show (a pseudo-terminal, say) are listed as well.
  for (auto& [target, links] : names) {
    if (ports.size() == kMaxPorts) break;
    if (!LookUpSerialDevice(target, roots.sys).serial) continue;
    PortRecord port;
    port.path = target.string();
    port.stable_names = std::move(links);
    ports.push_back(std::move(port));
  }
  return ports;
}

std::vector<PortRecord> ListPorts(const SystemRoots& roots, const fs::path& open_device,
                                  const Identity& who) {
  std::vector<PortRecord> ports = FindPorts(roots);
  for (PortRecord& port : ports) {
    port.open_here = !open_device.empty() && Canonical(port.path) == open_device;
    if (!port.open_here) port.reason = ProbeOpenFailure(port.path, roots, who);
    port.openable = port.reason.empty();
  }
  return ports;
}

namespace {

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    out += (i == 0 ? "" : ",") + base::JsonString(items[i]);
  }
  return out + "]";
}

std::string PortJson(const PortRecord& port) {
  using base::JsonString;
  return fmt::format(
      "{{\"path\":{},\"name\":{},\"stable_names\":{},\"manufacturer\":{},\"product\":{},"
      "\"serial_number\":{},\"usb_id\":{},\"driver\":{},\"open\":{},\"openable\":{},"
      "\"reason\":{}}}",
      JsonString(port.path), JsonString(fs::path(port.path).filename().string()),
      JsonList(port.stable_names), JsonString(port.manufacturer), JsonString(port.product),
      JsonString(port.serial_number), JsonString(port.usb_id), JsonString(port.driver),
      port.open_here, port.openable, JsonString(port.reason));
}

}  // namespace

std::string PortsJson(const std::vector<PortRecord>& ports, std::string_view failed_port,
                      std::string_view failed_reason, std::string_view gone_port) {
  std::string out = "{\"ports\":[";
  for (std::size_t i = 0; i < ports.size(); ++i) out += (i == 0 ? "" : ",") + PortJson(ports[i]);
  out += "],\"last_open_failure\":";
  out += failed_reason.empty()
             ? "null"
             : fmt::format("{{\"port\":{},\"reason\":{}}}", base::JsonString(failed_port),
                           base::JsonString(failed_reason));
  out += ",\"device_gone\":";
  out += gone_port.empty()
             ? "null"
             : fmt::format("{{\"port\":{},\"waiting\":true}}", base::JsonString(gone_port));
  return out + "}\n";
}

std::string DeviceIdentity::Describe() const {
  if (!usb_serial.empty()) return "USB serial " + usb_serial;
  if (!by_id.empty()) return "by-id name " + by_id;
  if (!sysfs_path.empty()) return "sysfs path " + sysfs_path;
  return {};
}

DeviceIdentity IdentifyDevice(const fs::path& path, const SystemRoots& roots) {
  DeviceIdentity identity;
  const fs::path device = Canonical(path);
  if (device.empty()) return identity;
  std::vector<fs::path> links = FolderEntries(roots.dev / kStableFolders[0]);
  std::sort(links.begin(), links.end());
  for (const fs::path& link : links) {
    if (Canonical(link) == device) {
      identity.by_id = link.filename().string();
      break;
    }
  }
  const fs::path hardware = Canonical(roots.sys / "class/tty" / device.filename() / "device");
  if (hardware.empty()) return identity;
  identity.sysfs_path = hardware.string();
  if (const fs::path usb = UsbDeviceFolder(hardware); !usb.empty()) {
    const std::string serial = ReadSysfsText(usb / "serial");
    if (!serial.empty()) {
      identity.usb_serial =
          ReadSysfsText(usb / "idVendor") + ":" + ReadSysfsText(usb / "idProduct") + " " + serial;
    }
  }
  return identity;
}

bool SameDevice(const DeviceIdentity& a, const DeviceIdentity& b) {
  for (auto field :
       {&DeviceIdentity::usb_serial, &DeviceIdentity::by_id, &DeviceIdentity::sysfs_path}) {
    if (!(a.*field).empty() && !(b.*field).empty()) return a.*field == b.*field;
  }
  return true;
}

bool IsStableName(const fs::path& path, const SystemRoots& roots) {
  for (const char* folder : kStableFolders) {
    if (path.parent_path() == (roots.dev / folder).lexically_normal()) return true;
  }
  return false;
}

}  // namespace orvelle::serial
