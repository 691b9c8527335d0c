// --traffic-log FILE: every traffic record (received, sent, port events) appended to a text file
// by a thread of its own, as dated hex-and-ASCII lines of 16 bytes, rotated at a size bound. The
// port never waits for the disk: the thread reads the traffic ring like any viewer, and a failing
// disk costs one log line, not the port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "app/log_rotation.h"
#include "base/traffic_ring.h"
#include "base/unique_fd.h"

namespace orvelle::app {

// The bytes of one line, as a hex dump shows them.
inline constexpr std::size_t kTrafficBytesPerLine = 16;

// The lines for one record, each ending in LF: "TIME DIR HEX  ASCII", HEX padded to 16 pairs,
// ASCII with "." for every byte outside 0x20..0x7E.
std::string TrafficLogLines(const base::TrafficRecord& record);

class TrafficLog {
 public:
  // Big enough for days of an instrument's chatter, small enough to open in an editor.
  static constexpr std::uint64_t kDefaultRotateBytes = kLogRotateBytes;
  // FILE.1 .. FILE.3 are kept; the oldest goes.
  static constexpr int kKeptFiles = kKeptLogFiles;

  using Reporter = std::function<void(std::string_view)>;

  // Starts the writer at the ring's oldest record; `report` gets one line per failure spell.
  TrafficLog(base::TrafficRing& ring, std::filesystem::path file, Reporter report,
             std::uint64_t rotate_bytes = kDefaultRotateBytes);
  ~TrafficLog();  // writes what is complete, then stops
  TrafficLog(const TrafficLog&) = delete;
  TrafficLog& operator=(const TrafficLog&) = delete;

 private:
  void Run(std::stop_token stop);
  bool WriteOut(std::uint64_t& from, std::chrono::milliseconds wait, std::stop_token stop);
  void Append(const std::string& text);
  bool EnsureOpen();
  void Rotate();
  void Fail(const char* what, int error);

  base::TrafficRing& ring_;
  const std::filesystem::path file_;
  Reporter report_;
  const std::uint64_t rotate_bytes_;
  base::UniqueFd fd_;
  std::uint64_t size_ = 0;  // of the open file
  bool failing_ = false;    // reported; cleared by the next write that succeeds
  std::jthread thread_;     // last: started once everything it uses is set
};

}  // namespace orvelle::app
