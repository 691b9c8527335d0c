// The traffic log's writer thread, its line format and its rotation.
#include "app/traffic_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/log_rotation.h"
#include "base/traffic_text.h"

namespace orvelle::app {
namespace {

// The writer waits this long for news at a time; it bounds nothing but the idle loop.
constexpr std::chrono::milliseconds kWriterWait{500};

}  // namespace

// Built in place, one allocation per record: the writer formats every byte the port passes, and
// on a small machine its time is taken from the port.
std::string TrafficLogLines(const base::TrafficRecord& record) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::string prefix =
      base::IsoTimeMicros(record.time) + " " + std::string(base::KindName(record.kind)) + " ";
  constexpr std::size_t kHexWidth = kTrafficBytesPerLine * 3 - 1;
  const std::size_t lines = std::max<std::size_t>(
      1, (record.bytes.size() + kTrafficBytesPerLine - 1) / kTrafficBytesPerLine);
  // Each line: the prefix, the padded hex column, two spaces, the ASCII column, a line feed.
  std::string out(lines * (prefix.size() + kHexWidth + 3) + record.bytes.size(), ' ');
  char* at = out.data();
  std::string_view rest = record.bytes;
  do {
    const std::string_view piece = rest.substr(0, kTrafficBytesPerLine);
    rest.remove_prefix(piece.size());
    at = std::copy(prefix.begin(), prefix.end(), at);
    char* hex = at;
    for (const char c : piece) {
      const auto byte = static_cast<unsigned char>(c);
      hex[0] = kDigits[byte >> 4];
      hex[1] = kDigits[byte & 0x0F];
      hex += 3;  // the separator stays the space it was made with
    }
    at += kHexWidth + 2;
    for (const char c : piece) *at++ = c < 0x20 || c > 0x7E ? '.' : c;
    *at++ = '\n';
  } while (!rest.empty());
  return out;
}

TrafficLog::TrafficLog(base::TrafficRing& ring, std::filesystem::path file, Reporter report,
                       std::uint64_t rotate_bytes)
    : ring_(ring),
      file_(std::move(file)),
      report_(std::move(report)),
      rotate_bytes_(rotate_bytes),
      thread_([this](std::stop_token stop) { Run(stop); }) {}

TrafficLog::~TrafficLog() {
  thread_.request_stop();
  thread_.join();
}

void TrafficLog::Run(std::stop_token stop) {
  std::uint64_t from = ring_.OldestSeq();
  while (!stop.stop_requested()) WriteOut(from, kWriterWait, stop);
  // What was complete at the stop still goes to the file.
  while (WriteOut(from, std::chrono::milliseconds(0), {})) {
  }
}

// One batch from the ring into the file; false when there was none.
bool TrafficLog::WriteOut(std::uint64_t& from, std::chrono::milliseconds wait,
                          std::stop_token stop) {
  base::TrafficRing::Batch batch = ring_.ReadFrom(from, wait, stop);
  from = batch.next;
  std::string text;
  if (batch.missed) {
    text = TrafficLogLines(
        {0, base::TrafficKind::kEvent, std::chrono::system_clock::now(), "records missed"});
  }
  for (const base::TrafficRecord& record : batch.records) {
    // The server's own log lines have their own log.
    if (record.kind != base::TrafficKind::kLog) text += TrafficLogLines(record);
  }
  if (!text.empty()) Append(text);
  return !batch.records.empty() || batch.missed;
}

void TrafficLog::Append(const std::string& text) {
  if (size_ > 0 && size_ + text.size() > rotate_bytes_) Rotate();
  if (!EnsureOpen()) return;
  const ssize_t n = ::write(fd_.Get(), text.data(), text.size());
  if (n != static_cast<ssize_t>(text.size())) {
    Fail("cannot write", n < 0 ? errno : ENOSPC);
    fd_ = base::UniqueFd();  // opened again for the next record, which may find room
    return;
  }
  size_ += text.size();
  if (failing_) {
    failing_ = false;
    report_("Traffic log: writing " + file_.string() + " again");
  }
}

bool TrafficLog::EnsureOpen() {
  if (fd_.Valid()) return true;
  // O_NONBLOCK: a FIFO put in the file's place must not hang the writer.
  fd_ = base::UniqueFd(::open(
      file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
  if (!fd_.Valid()) {
    Fail("cannot open", errno);
    return false;
  }
  struct stat info {};
  size_ = ::fstat(fd_.Get(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  return true;
}

// FILE -> FILE.1 -> FILE.2 -> FILE.3; the oldest is overwritten.
void TrafficLog::Rotate() {
  fd_ = base::UniqueFd();
  size_ = 0;
  if (const int error = RotateLogFiles(file_, kKeptFiles); error != 0) Fail("cannot rotate", error);
}

void TrafficLog::Fail(const char* what, int error) {
  if (failing_) return;
  failing_ = true;
  report_("Traffic log: " + std::string(what) + " " + file_.string() + ": " + std::strerror(error) +
          "; the port goes on without it");
}

}  // namespace orvelle::app
