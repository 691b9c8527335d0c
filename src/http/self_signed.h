// A self-signed certificate and key for this machine, so HTTPS works before a real one is got.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace orvelle::http {

struct TCertificateNames {
  std::vector<std::string> hosts;      // DNS names
  std::vector<std::string> addresses;  // IPv4 and IPv6 literals
};

// The host name, "localhost", 127.0.0.1, ::1 and the addresses of the machine's interfaces.
// Names with anything but host-name characters are left out.
TCertificateNames LocalCertificateNames();

// Writes DIR/cert.pem and DIR/key.pem (mode 0600): an EC P-256 key and a certificate for
// `names`, valid for a year from now. Creates DIR; refuses to replace either file. Throws
// ETlsError with a one-line reason.
void WriteSelfSigned(const std::filesystem::path& dir, const TCertificateNames& names);

}  // namespace orvelle::http
