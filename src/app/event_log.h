// The event log: AddLog dates a message and writes it to the memo and, when "Log to file" is
// "yes", to web/log.txt, rotated at a size bound; LogLock keeps each call's lines together and in
// order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/log_rotation.h"

namespace orvelle::app {

// The memo is emptied when its text grows past this many characters, as the log view always did.
inline constexpr std::size_t kMemoLimit = 60000;

class TEventLog {
 public:
  using SettingReader = std::function<std::string(std::string_view)>;
  using Clock = std::function<std::tm()>;
  // Sees every memo line as it is added, under the log lock (the console, a window).
  using LineSink = std::function<void(const std::string&)>;

  // The file is rotated (log.txt.1 newest, three kept) before a line would take it past
  // `rotate_bytes`.
  TEventLog(std::filesystem::path log_file, SettingReader get_setting, Clock clock = {},
            std::uint64_t rotate_bytes = kLogRotateBytes);

  // Dated line to the memo and the file. Never throws: the first line that a file cannot take
  // (not there, a full disk) gets a "Not saved to file: " line in the memo; the lines after it
  // are dropped without one until the file takes a line again.
  void AddLog(std::string_view message);
  // A line to the memo as it stands, without date or file (the greeting lines).
  void AddMemoLine(std::string line);

  void SetSink(LineSink sink);
  std::vector<std::string> Memo() const;
  // Length of the memo text: its lines joined with CR LF.
  std::size_t MemoTextLength() const;

 private:
  void LogToFile(const std::string& line);
  bool AppendToFile(const std::string& line);
  void AppendMemo(std::string line);
  const std::string& Prefix();

  std::filesystem::path log_file_;
  std::uint64_t rotate_bytes_;
  SettingReader get_setting_;
  Clock clock_;  // empty: the system's local time
  // The last prefix made and the time it was made from; guarded by LogLock.
  std::string prefix_;
  std::tm prefix_time_{};
  std::time_t prefix_second_ = -1;
  LineSink sink_;
  mutable std::mutex LogLock;
  std::vector<std::string> memo_;
  std::size_t memo_chars_ = 0;  // sum of the line lengths
  bool file_failing_ = false;   // a "Not saved to file: " line was given for this spell
};

}  // namespace orvelle::app
