// Test support: a fake /dev and /sys holding one USB serial adapter (its tty device is a real
// pseudo-terminal behind a /dev link), with the stable-name links and sysfs texts a real one has.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "pty_pair.h"
#include "serial/open_diagnosis.h"
#include "temp_folder.h"

namespace orvelle::serial::test {

class FakeDeviceTree {
 public:
  static constexpr const char* kById = "usb-FTDI_FT232R_USB_UART_A12345-if00-port0";
  static constexpr const char* kByPath = "pci-0000:00:14.0-usb-0:2:1.0-port0";
  // A hostile manufacturer text: a quote, a control byte and a byte that is not UTF-8.
  static constexpr const char* kManufacturer = "FT\"DI\x01 Ltd\xff";

  FakeDeviceTree() {
    const std::filesystem::path usb = Sys() / "devices/pci0000:00/usb1/1-2";
    const std::filesystem::path port = usb / "1-2:1.0/ttyUSB0";
    std::filesystem::create_directories(port);
    Write(usb / "idVendor", "0403\n");
    Write(usb / "idProduct", "6001\n");
    Write(usb / "manufacturer", std::string(kManufacturer) + "\n");
    Write(usb / "product", "FT232R USB UART\n");
    Write(usb / "serial", "A12345\n");
    std::filesystem::create_symlink("../../../../../../bus/usb-serial/drivers/ftdi_sio",
                                    port / "driver");
    Tty("ttyUSB0", "../../../devices/pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0");
    std::filesystem::create_directories(Sys() / "devices/platform/serial8250");
    Tty("ttyS0", "../../../devices/platform/serial8250");
    Write(Sys() / "class/tty/ttyS0/type", "0\n");  // a legacy entry with no UART behind it
    std::filesystem::create_directories(Sys() / "class/tty/tty0");  // a console: no device link
    std::filesystem::create_directories(Dev() / "serial/by-id");
    std::filesystem::create_directories(Dev() / "serial/by-path");
    std::filesystem::create_symlink(pty_.Path(), Dev() / "ttyUSB0");
    std::filesystem::create_symlink(no_uart_.Path(), Dev() / "ttyS0");
    std::filesystem::create_symlink("../../ttyUSB0", Dev() / "serial/by-id" / kById);
    std::filesystem::create_symlink("../../ttyUSB0", Dev() / "serial/by-path" / kByPath);
  }

  SystemRoots Roots() const { return {Dev(), Sys(), "/proc"}; }
  std::filesystem::path Dev() const { return folder_.Path() / "dev"; }
  std::filesystem::path Sys() const { return folder_.Path() / "sys"; }
  const PtyPair& Pty() const { return pty_; }

 private:
  static void Write(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  }
  void Tty(const std::string& name, const std::string& device_link) const {
    const std::filesystem::path entry = Sys() / "class/tty" / name;
    std::filesystem::create_directories(entry);
    std::filesystem::create_symlink(device_link, entry / "device");
  }

  TempFolder folder_;
  PtyPair pty_;
  PtyPair no_uart_;  // would open, but sysfs says no UART stands behind ttyS0
};

}  // namespace orvelle::serial::test
