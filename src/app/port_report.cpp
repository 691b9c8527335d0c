// The port's notes and the list built from them.
#include "app/port_report.h"

#include "serial/port_inventory.h"
#include "serial/port_names.h"

namespace orvelle::app {

void PortReport::NoteOpened(const std::string& port_name) {
  const auto found = serial::LookUpSerialDevice(serial::ResolvePortName(port_name), roots_.sys);
  std::lock_guard hold(lock_);
  open_device_ = found.device;
  failed_port_.clear();
  failed_reason_.clear();
}

void PortReport::NoteClosed() {
  std::lock_guard hold(lock_);
  open_device_.clear();
}

std::string PortReport::NoteFailure(const std::string& port, const std::filesystem::path& device,
                                    int error) {
  std::string reason =
      serial::DiagnoseOpenFailure(device, error, roots_, serial::ProcessIdentity());
  std::string line = "Serial port error: cannot open " + port + ": " + reason;
  std::lock_guard hold(lock_);
  failed_port_ = port;
  failed_reason_ = std::move(reason);
  return line;
}

std::string PortReport::FailureReason(const std::string& port) {
  std::lock_guard hold(lock_);
  return failed_port_ == serial::PrintablePortName(port) ? failed_reason_ : std::string();
}

std::string PortReport::Json(const std::filesystem::path& gone) {
  std::filesystem::path open_device;
  {
    std::lock_guard hold(lock_);
    open_device = open_device_;
  }
  const auto ports = serial::ListPorts(roots_, open_device, serial::ProcessIdentity());
  std::lock_guard hold(lock_);
  return serial::PortsJson(ports, failed_port_, failed_reason_, gone.string());
}

}  // namespace orvelle::app
