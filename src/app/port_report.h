// What the server knows about its port for /.orvelle/ports and the log: which device it holds,
// the last failed open with its reason, and the port list built on request.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>

#include "serial/open_diagnosis.h"

namespace orvelle::app {

class PortReport {
 public:
  explicit PortReport(serial::SystemRoots roots) : roots_(std::move(roots)) {}

  const serial::SystemRoots& Roots() const { return roots_; }
  // The port opened `port_name` (as the port keeps it); a failure noted before is settled.
  void NoteOpened(const std::string& port_name);
  void NoteClosed();
  // Diagnoses a failed open and keeps the reason; returns the log line.
  std::string NoteFailure(const std::string& port, const std::filesystem::path& device, int error);
  // The reason of the last failed open when it was of `port` (as the script gave it); else empty.
  std::string FailureReason(const std::string& port);
  // The JSON of /.orvelle/ports; `gone` is the device the open port lost and waits for, if any.
  std::string Json(const std::filesystem::path& gone = {});

 private:
  const serial::SystemRoots roots_;
  std::mutex lock_;  // the notes come from script threads, Json from request threads
  std::filesystem::path open_device_;
  std::string failed_port_;
  std::string failed_reason_;
};

}  // namespace orvelle::app
