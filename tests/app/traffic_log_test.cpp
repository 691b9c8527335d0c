// The traffic log: line forms for known records, and the file a real exchange through the ring
// writes, byte for byte with the times masked, rotation included.
#include "app/traffic_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "base/traffic_text.h"

namespace orvelle::app {
namespace {

using base::TrafficKind;
using namespace std::chrono_literals;

TEST(TrafficLogLines, HexAndAsciiSixteenBytesALine) {
  const auto at =
      std::chrono::system_clock::time_point(std::chrono::microseconds(1714566896123456));
  const struct {
    TrafficKind kind;
    std::string bytes;
    std::string lines;
  } cases[] = {
      {TrafficKind::kTx, "*IDN?\r\n",
       "2024-05-01T12:34:56.123456Z TX 2A 49 44 4E 3F 0D 0A                             *IDN?..\n"},
      {TrafficKind::kRx, "ORVELLE,SIMULATOR,0\r\n",
       "2024-05-01T12:34:56.123456Z RX 4F 52 56 45 4C 4C 45 2C 53 49 4D 55 4C 41 54 4F  "
       "ORVELLE,SIMULATO\n"
       "2024-05-01T12:34:56.123456Z RX 52 2C 30 0D 0A                                   R,0..\n"},
      {TrafficKind::kEvent, "close",
       "2024-05-01T12:34:56.123456Z EV 63 6C 6F 73 65                                   close\n"},
      {TrafficKind::kRx, std::string("\x00\xFF~ ", 4),
       "2024-05-01T12:34:56.123456Z RX 00 FF 7E 20                                      ..~ \n"},
      {TrafficKind::kRx, "", "2024-05-01T12:34:56.123456Z RX " + std::string(49, ' ') + "\n"},
      {TrafficKind::kRx, std::string(16, 'x'),
       "2024-05-01T12:34:56.123456Z RX 78 78 78 78 78 78 78 78 78 78 78 78 78 78 78 78  "
       "xxxxxxxxxxxxxxxx\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TrafficLogLines({1, c.kind, at, c.bytes}), c.lines) << c.bytes;
  }
}

// The in-place lines against a plain build of the same lines, for records of every length and
// every byte value.
TEST(TrafficLogLines, MatchAPlainBuildForAnyRecord) {
  const auto plain = [](const base::TrafficRecord& record) {
    const std::string prefix =
        base::IsoTimeMicros(record.time) + " " + std::string(base::KindName(record.kind)) + " ";
    std::string out;
    std::string_view rest = record.bytes;
    do {
      const std::string_view piece = rest.substr(0, kTrafficBytesPerLine);
      rest.remove_prefix(piece.size());
      std::string hex = base::HexPairs(piece, " ");
      hex.resize(kTrafficBytesPerLine * 3 - 1, ' ');
      std::string ascii(piece);
      for (char& c : ascii) c = c < 0x20 || c > 0x7E ? '.' : c;
      out += prefix + hex + "  " + ascii + "\n";
    } while (!rest.empty());
    return out;
  };
  std::minstd_rand random(31);
  for (std::size_t size = 0; size <= 3 * kTrafficBytesPerLine + 1; ++size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 256);
    const base::TrafficRecord record{7, TrafficKind::kRx, std::chrono::system_clock::now(), bytes};
    EXPECT_EQ(TrafficLogLines(record), plain(record)) << size;
  }
}

struct TempDir {
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvelle-tlog-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
};

std::string Masked(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return std::regex_replace(text.str(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)"),
                            "TIME");
}

// Waits, bounded, until the file holds `lines` lines.
void AwaitLines(const std::filesystem::path& file, std::size_t lines) {
  for (int i = 0; i < 500; ++i) {
    const std::string text = Masked(file);
    if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) return;
    std::this_thread::sleep_for(10ms);
  }
}

TEST(TrafficLog, WritesAnExchangeAndLeavesOutTheServerLog) {
  TempDir dir;
  const auto file = dir.path / "traffic.log";
  base::TrafficRing ring(base::TrafficRing::kDefaultBytes, 0ms);
  std::vector<std::string> reports;
  {
    TrafficLog log(ring, file, [&](std::string_view line) { reports.emplace_back(line); });
    ring.Note(TrafficKind::kEvent, "open /DEV/PTS/3");
    ring.Append(TrafficKind::kTx, "PING\r\n");
    ring.Note(TrafficKind::kLog, "Command GET /term/send.ovs");
    ring.Append(TrafficKind::kRx, "PONG\r\n");
    ring.Note(TrafficKind::kEvent, "close");
    AwaitLines(file, 4);
  }
  EXPECT_EQ(Masked(file),
            "TIME EV 6F 70 65 6E 20 2F 44 45 56 2F 50 54 53 2F 33     open /DEV/PTS/3\n"
            "TIME TX 50 49 4E 47 0D 0A                                PING..\n"
            "TIME RX 50 4F 4E 47 0D 0A                                PONG..\n"
            "TIME EV 63 6C 6F 73 65                                   close\n");
  EXPECT_TRUE(reports.empty());
}

TEST(TrafficLog, RotatesAndKeepsThreeOldFiles) {
  TempDir dir;
  const auto file = dir.path / "traffic.log";
  base::TrafficRing ring(base::TrafficRing::kDefaultBytes, 0ms);
  const std::string line = TrafficLogLines({0, TrafficKind::kRx, {}, "record 0"});
  {
    // Room for two lines a file; each record is on disk before the next one comes.
    TrafficLog log(
        ring, file, [](std::string_view) {}, 2 * line.size());
    for (int i = 0; i < 10; ++i) {
      const std::string text = "record " + std::to_string(i);
      ring.Note(TrafficKind::kRx, text);
      for (int tries = 0; tries < 500 && Masked(file).find(text) == std::string::npos; ++tries) {
        std::this_thread::sleep_for(10ms);
      }
    }
  }
  const auto lines = [](int a, int b) {
    return "TIME RX 72 65 63 6F 72 64 20 3" + std::to_string(a) +
           "                          record " + std::to_string(a) + "\n" +
           "TIME RX 72 65 63 6F 72 64 20 3" + std::to_string(b) +
           "                          record " + std::to_string(b) + "\n";
  };
  EXPECT_EQ(Masked(file), lines(8, 9));
  EXPECT_EQ(Masked(dir.path / "traffic.log.1"), lines(6, 7));
  EXPECT_EQ(Masked(dir.path / "traffic.log.2"), lines(4, 5));
  EXPECT_EQ(Masked(dir.path / "traffic.log.3"), lines(2, 3));
  EXPECT_FALSE(std::filesystem::exists(dir.path / "traffic.log.4"));
}

TEST(TrafficLog, AnUnwritableFileIsReportedOnceAndNothingStops) {
  TempDir dir;
  const auto file = dir.path / "missing-folder" / "traffic.log";
  base::TrafficRing ring(base::TrafficRing::kDefaultBytes, 0ms);
  std::vector<std::string> reports;
  std::mutex lock;
  {
    TrafficLog log(ring, file, [&](std::string_view line) {
      std::lock_guard hold(lock);
      reports.emplace_back(line);
    });
    for (int i = 0; i < 20; ++i) ring.Note(TrafficKind::kEvent, "event " + std::to_string(i));
  }
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("Traffic log: cannot open"), std::string::npos);
  EXPECT_EQ(ring.ReadFrom(ring.OldestSeq(), 0ms).records.size(), 20u);
}

}  // namespace
}  // namespace orvelle::app
