// AddLog and LogToFile: memo limit, the file opened and closed for every line, and the memo line
// for a line the file did not take.
#include "event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/control_bytes.h"
#include "base/unique_fd.h"
#include "log_prefix.h"

namespace orvelle::app {
namespace {

base::UniqueFd OpenForAppend(const std::filesystem::path& file) {
  // O_NONBLOCK: a FIFO in place of the file must not hang the logging thread.
  return base::UniqueFd(::open(
      file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
}

}  // namespace

TEventLog::TEventLog(std::filesystem::path log_file, SettingReader get_setting, Clock clock,
                     std::uint64_t rotate_bytes)
    : log_file_(std::move(log_file)),
      rotate_bytes_(rotate_bytes),
      get_setting_(std::move(get_setting)),
      clock_(std::move(clock)) {}

void TEventLog::AddLog(std::string_view message) {
  // Messages carry request lines, paths and script text: a CR, LF or escape byte in them must
  // not split a line, forge another one or drive the console that shows it.
  const std::string safe = base::EscapeControlBytes(message);
  std::lock_guard lock(LogLock);
  AppendMemo(Prefix() + safe);
  // The prefix is formatted again, so the file may carry the next minute.
  LogToFile(Prefix() + safe);
}

void TEventLog::AddMemoLine(std::string line) {
  std::string safe = base::EscapeControlBytes(line);
  std::lock_guard lock(LogLock);
  AppendMemo(std::move(safe));
}

void TEventLog::SetSink(LineSink sink) {
  std::lock_guard lock(LogLock);
  sink_ = std::move(sink);
}

std::vector<std::string> TEventLog::Memo() const {
  std::lock_guard lock(LogLock);
  return memo_;
}

std::size_t TEventLog::MemoTextLength() const {
  std::lock_guard lock(LogLock);
  return memo_.empty() ? 0 : memo_chars_ + 2 * (memo_.size() - 1);
}

void TEventLog::LogToFile(const std::string& line) {
  if (get_setting_("Log to file") != "yes") return;
  if (AppendToFile(line)) {
    file_failing_ = false;
    return;
  }
  // Once per spell: a full disk must not push every other line out of the memo.
  if (file_failing_) return;
  file_failing_ = true;
  AppendMemo(Prefix() + "Not saved to file: " + line);
}

bool TEventLog::AppendToFile(const std::string& line) {
  const std::string bytes = line + "\r\n";
  base::UniqueFd file = OpenForAppend(log_file_);
  if (!file.Valid()) return false;
  // Anyone may send request lines, so the file is bounded; only a plain file is moved aside.
  struct stat info {};
  if (::fstat(file.Get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
      static_cast<std::uint64_t>(info.st_size) + bytes.size() > rotate_bytes_) {
    file = base::UniqueFd();
    RotateLogFiles(log_file_);
    file = OpenForAppend(log_file_);
    if (!file.Valid()) return false;
  }
  // One write call for the line and its CR LF keeps concurrent appenders from interleaving.
  return ::write(file.Get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

void TEventLog::AppendMemo(std::string line) {
  const std::size_t text_length = memo_.empty() ? 0 : memo_chars_ + 2 * (memo_.size() - 1);
  if (text_length > kMemoLimit) {
    memo_.clear();
    memo_chars_ = 0;
  }
  memo_chars_ += line.size();
  memo_.push_back(std::move(line));
  if (sink_) sink_(memo_.back());
}

// Called with LogLock held. Two lines a request would otherwise each convert and format the
// time twice; the text changes once a minute, so it is kept and made again only for a new
// second (the system clock) or a new minute (a clock given to the log).
const std::string& TEventLog::Prefix() {
  std::tm when{};
  if (clock_) {
    when = clock_();
  } else {
    const std::time_t now = std::time(nullptr);
    if (now == prefix_second_ && !prefix_.empty()) return prefix_;
    localtime_r(&now, &when);
    prefix_second_ = now;
  }
  if (prefix_.empty() || when.tm_min != prefix_time_.tm_min ||
      when.tm_hour != prefix_time_.tm_hour || when.tm_mday != prefix_time_.tm_mday ||
      when.tm_mon != prefix_time_.tm_mon || when.tm_year != prefix_time_.tm_year) {
    prefix_ = LogDatePrefix(when);
    prefix_time_ = when;
  }
  return prefix_;
}

}  // namespace orvelle::app
