// The serial devices present, as a person would want them listed: each device's stable names
// (/dev/serial/by-id and by-path), what sysfs says of it, whether this server has it open and
// whether it could open it now (and if not, why); and the same as a JSON document.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "serial/open_diagnosis.h"

namespace orvelle::serial {

struct PortRecord {
  std::string path;                       // the device under the dev root, e.g. /dev/ttyUSB0
  std::vector<std::string> stable_names;  // links that resolve to it: by-id first, then by-path
  std::string manufacturer;               // the USB device's texts, empty when not USB
  std::string product;
  std::string serial_number;
  std::string usb_id;  // "idVendor:idProduct"
  std::string driver;  // the tty device's driver, e.g. ftdi_sio
  bool open_here = false;
  bool openable = false;
  std::string reason;  // why it cannot be opened now; empty when it can
};

// The devices enumports would consider (tty-class devices with a device link, legacy UART
// entries without a UART left out) plus any other target of a stable-name link, in natural
// order, with their names and sysfs texts. Nothing is opened.
std::vector<PortRecord> FindPorts(const SystemRoots& roots);

// FindPorts, and for each device whether it is `open_device` (the resolved path of the port this
// server holds, or empty) and otherwise whether it could be opened now and why not.
std::vector<PortRecord> ListPorts(const SystemRoots& roots,
                                  const std::filesystem::path& open_device, const Identity& who);

// The port list of /.orvelle/ports, with the server's last failed open (port name and reason;
// both empty when there was none) and the device the open port lost and waits for (empty: none).
std::string PortsJson(const std::vector<PortRecord>& ports, std::string_view failed_port,
                      std::string_view failed_reason, std::string_view gone_port = {});

// What tells one device from another that the system later gives the same kernel name. Empty
// fields are unknown (a pseudo-terminal has none of them).
struct DeviceIdentity {
  std::string usb_serial;  // "idVendor:idProduct serial", when the USB device has a serial
  std::string by_id;       // its /dev/serial/by-id name
  std::string sysfs_path;  // the hardware it hangs off (a USB port, a UART)
  // The first known field, as a person reads it ("USB serial 0403:6001 A12345"); "" if none.
  std::string Describe() const;
};

// The identity of the device `path` names now; nothing is opened.
DeviceIdentity IdentifyDevice(const std::filesystem::path& path, const SystemRoots& roots);

// Compared on the first of USB serial, by-id name and sysfs path that both know; devices that
// share no known field count as the same, as a name alone cannot tell them apart.
bool SameDevice(const DeviceIdentity& a, const DeviceIdentity& b);

// A name that udev keeps for one device (under /dev/serial/by-id or by-path) says which device
// it is; any other name may be given to whichever device comes next.
bool IsStableName(const std::filesystem::path& path, const SystemRoots& roots);

}  // namespace orvelle::serial
