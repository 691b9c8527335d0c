// Tests of the event log: the date prefix, the memo limit, web/log.txt on and off, lines the
// file would not take, and whole lines from many threads.
#include "app/event_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "app/log_prefix.h"

namespace orvelle::app {
namespace {

namespace fs = std::filesystem;

std::tm At(int year, int month, int day, int hour, int minute) {
  std::tm when{};
  when.tm_year = year - 1900;
  when.tm_mon = month - 1;
  when.tm_mday = day;
  when.tm_hour = hour;
  when.tm_min = minute;
  return when;
}

struct PrefixCase {
  std::tm when;
  const char* text;
};

class LogDatePrefixTest : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(LogDatePrefixTest, Format) {
  EXPECT_EQ(LogDatePrefix(GetParam().when), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, LogDatePrefixTest,
    ::testing::Values(PrefixCase{At(2026, 3, 1, 9, 5), "Mar 1, 2026 ; 09:05 "},
                      PrefixCase{At(2026, 12, 6, 16, 5), "Dec 6, 2026 ; 16:05 "},
                      PrefixCase{At(1999, 1, 31, 0, 0), "Jan 31, 1999 ; 00:00 "},
                      PrefixCase{At(2030, 7, 15, 23, 59), "Jul 15, 2030 ; 23:59 "}));

class TempHome {
 public:
  TempHome() {
    std::string pattern = (fs::temp_directory_path() / "orvelle-log-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    fs::create_directory(path_ / "web");
  }
  ~TempHome() {
    std::error_code ignored;
    fs::permissions(path_ / "web", fs::perms::owner_all, ignored);
    fs::remove_all(path_, ignored);
  }
  fs::path LogFile() const { return path_ / "web" / "log.txt"; }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class EventLogTest : public ::testing::Test {
 protected:
  TempHome home;
  std::map<std::string, std::string, std::less<>> settings;
  TEventLog log{home.LogFile(),
                [this](std::string_view key) {
                  auto it = settings.find(key);
                  return it == settings.end() ? std::string() : it->second;
                },
                [] { return At(2026, 3, 1, 9, 5); }};
};

TEST_F(EventLogTest, LogToFileOffLeavesNoFile) {
  settings["Log to file"] = "Yes";
  log.AddLog("hello");
  EXPECT_EQ(log.Memo(), std::vector<std::string>{"Mar 1, 2026 ; 09:05 hello"});
  EXPECT_FALSE(fs::exists(home.LogFile()));
}

TEST_F(EventLogTest, LogToFileCreatesThenAppendsWithCrLf) {
  settings["Log to file"] = "yes";
  log.AddLog("one");
  log.AddLog("two");
  EXPECT_EQ(ReadFile(home.LogFile()), "Mar 1, 2026 ; 09:05 one\r\nMar 1, 2026 ; 09:05 two\r\n");
  TEventLog second_run(
      home.LogFile(), [](std::string_view) { return std::string("yes"); },
      [] { return At(2026, 3, 2, 10, 0); });
  second_run.AddLog("three");
  EXPECT_EQ(ReadFile(home.LogFile()),
            "Mar 1, 2026 ; 09:05 one\r\nMar 1, 2026 ; 09:05 two\r\n"
            "Mar 2, 2026 ; 10:00 three\r\n");
}

TEST_F(EventLogTest, UnopenableFileGivesNotSavedLineAndNoThrow) {
  settings["Log to file"] = "yes";
  fs::remove_all(home.Path() / "web");  // no folder to create the file in
  EXPECT_NO_THROW(log.AddLog("lost"));
  EXPECT_EQ(log.Memo(),
            (std::vector<std::string>{"Mar 1, 2026 ; 09:05 lost",
                                      "Mar 1, 2026 ; 09:05 Not saved to file: Mar 1, 2026 ; "
                                      "09:05 lost"}));
}

TEST_F(EventLogTest, LogPathTakenByFolderGivesNotSavedLine) {
  settings["Log to file"] = "yes";
  fs::create_directory(home.LogFile());  // cannot be opened for writing, even by root
  log.AddLog("lost");
  ASSERT_EQ(log.Memo().size(), 2u);
  EXPECT_EQ(log.Memo()[1], "Mar 1, 2026 ; 09:05 Not saved to file: Mar 1, 2026 ; 09:05 lost");
}

TEST_F(EventLogTest, MemoEmptiedOnlyWhenPastTheLimit) {
  const std::string prefix = "Mar 1, 2026 ; 09:05 ";
  // One line that brings the memo text to exactly the limit: not yet past it.
  log.AddLog(std::string(kMemoLimit - prefix.size(), 'x'));
  log.AddLog("next");
  ASSERT_EQ(log.Memo().size(), 2u);
  EXPECT_EQ(log.MemoTextLength(), kMemoLimit + 2 + prefix.size() + 4);
  log.AddLog("after");
  EXPECT_EQ(log.Memo(), std::vector<std::string>{prefix + "after"});
}

TEST_F(EventLogTest, GreetingLinesGoToMemoAndSinkOnly) {
  settings["Log to file"] = "yes";
  std::vector<std::string> seen;
  log.SetSink([&](const std::string& line) { seen.push_back(line); });
  log.AddMemoLine("greeting");
  log.AddLog("dated");
  EXPECT_EQ(seen, (std::vector<std::string>{"greeting", "Mar 1, 2026 ; 09:05 dated"}));
  EXPECT_EQ(ReadFile(home.LogFile()), "Mar 1, 2026 ; 09:05 dated\r\n");
}

TEST_F(EventLogTest, ConcurrentLinesStayWholeAndInTheSameOrder) {
  settings["Log to file"] = "yes";
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kLines; ++i)
          log.AddLog("t" + std::to_string(t) + "-" + std::to_string(i));
      });
    }
  }
  std::string expected;
  for (const std::string& line : log.Memo()) expected += line + "\r\n";
  EXPECT_EQ(log.Memo().size(), static_cast<std::size_t>(kThreads * kLines));
  EXPECT_EQ(ReadFile(home.LogFile()), expected);
}

// Rotated before a line would pass the bound: log.txt.1 the newest, three kept, lines whole.
TEST_F(EventLogTest, FileIsRotatedAtItsBoundKeepingThree) {
  const std::string prefix = "Mar 1, 2026 ; 09:05 ";
  const std::size_t line_size = prefix.size() + 8 + 2;  // "line NNN" and CR LF
  TEventLog small(
      home.LogFile(), [](std::string_view) { return std::string("yes"); },
      [] { return At(2026, 3, 1, 9, 5); }, 3 * line_size);
  for (int i = 100; i < 114; ++i) small.AddLog("line " + std::to_string(i));
  const auto lines = [&](int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i) text += prefix + "line " + std::to_string(i) + "\r\n";
    return text;
  };
  EXPECT_EQ(ReadFile(home.LogFile()), lines(112, 114));
  EXPECT_EQ(ReadFile(home.LogFile().string() + ".1"), lines(109, 112));
  EXPECT_EQ(ReadFile(home.LogFile().string() + ".2"), lines(106, 109));
  EXPECT_EQ(ReadFile(home.LogFile().string() + ".3"), lines(103, 106));
  EXPECT_FALSE(fs::exists(home.LogFile().string() + ".4"));
}

// A full disk costs one memo line per spell, and logging goes on.
TEST_F(EventLogTest, FullDiskIsReportedOnceAndLoggingGoesOn) {
  TEventLog full(
      "/dev/full", [](std::string_view) { return std::string("yes"); },
      [] { return At(2026, 3, 1, 9, 5); });
  for (int i = 0; i < 5; ++i) EXPECT_NO_THROW(full.AddLog("line " + std::to_string(i)));
  const std::vector<std::string> memo = full.Memo();
  ASSERT_EQ(memo.size(), 6u);
  EXPECT_EQ(memo[1], "Mar 1, 2026 ; 09:05 Not saved to file: Mar 1, 2026 ; 09:05 line 0");
  EXPECT_EQ(memo[5], "Mar 1, 2026 ; 09:05 line 4");
  EXPECT_TRUE(fs::exists("/dev/full")) << "a device is never rotated away";
}

// The log keeps its last prefix: a clock that moves by any one field of the prefix, or back,
// must still give every line the prefix of its own time, memo and file alike.
TEST(EventLogPrefixTest, EachLineCarriesItsOwnTimeAcrossEveryFieldChange) {
  TempHome home;
  const std::vector<std::tm> times = {
      At(2026, 3, 1, 9, 5),  At(2026, 3, 1, 9, 5),  At(2026, 3, 1, 9, 6),
      At(2026, 3, 1, 10, 6), At(2026, 3, 2, 10, 6), At(2026, 4, 2, 10, 6),
      At(2027, 4, 2, 10, 6), At(2026, 3, 1, 9, 5),  At(2026, 3, 1, 9, 5)};
  std::size_t next = 0;
  TEventLog log(
      home.LogFile(), [](std::string_view) { return std::string("yes"); },
      [&] { return times[std::min(next++, times.size() - 1)]; });
  std::string expected_file;
  std::vector<std::string> expected_memo;
  for (std::size_t line = 0; line < 4; ++line) {
    const std::string text = "line " + std::to_string(line);
    expected_memo.push_back(LogDatePrefix(times[2 * line]) + text);
    expected_file += LogDatePrefix(times[2 * line + 1]) + text + "\r\n";
    log.AddLog(text);
  }
  EXPECT_EQ(log.Memo(), expected_memo);
  EXPECT_EQ(ReadFile(home.LogFile()), expected_file);
}

// Without a clock of its own the log dates lines with the local time now.
TEST(EventLogPrefixTest, SystemClockGivesTheLocalTimeOfTheLine) {
  TempHome home;
  TEventLog log(home.LogFile(), [](std::string_view) { return std::string(); });
  for (int line = 0; line < 3; ++line) {
    const std::string before = LogDatePrefix(LocalTimeNow());
    log.AddLog("tick");
    const std::string after = LogDatePrefix(LocalTimeNow());
    const std::string got = log.Memo().back();
    EXPECT_TRUE(got == before + "tick" || got == after + "tick") << got;
  }
}

}  // namespace
}  // namespace orvelle::app
