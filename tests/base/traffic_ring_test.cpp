// The traffic ring: how bytes become records, what a reader gets after eviction or with a
// foreign position, and that concurrent readers see one order.
#include "base/traffic_ring.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace orvelle::base {
namespace {

using namespace std::chrono_literals;
constexpr auto kNever = std::chrono::hours(1);  // no idle split: only direction and size count

struct Step {
  TrafficKind kind;
  std::string bytes;
  bool note = false;
};
struct SplitCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::pair<TrafficKind, std::string>> expected;
};

std::vector<TrafficRecord> Everything(TrafficRing& ring) {
  return ring.ReadFrom(ring.OldestSeq(), 0ms).records;
}

TEST(TrafficRing, SplitsWhereTheDirectionChangesAndAtTheRecordSize) {
  const std::string a300(300, 'a');
  const std::string b250(250, 'b');
  const std::string long_note(TrafficRing::kMaxNoteBytes + 20, 'n');
  using K = TrafficKind;
  const SplitCase cases[] = {
      {"one direction joins", {{K::kRx, "abc"}, {K::kRx, "def"}}, {{K::kRx, "abcdef"}}},
      {"direction change",
       {{K::kRx, "abc"}, {K::kTx, "xy"}, {K::kRx, "d"}},
       {{K::kRx, "abc"}, {K::kTx, "xy"}, {K::kRx, "d"}}},
      {"a long write is cut",
       {{K::kRx, a300}},
       {{K::kRx, a300.substr(0, 256)}, {K::kRx, a300.substr(256)}}},
      {"a record fills up",
       {{K::kTx, b250}, {K::kTx, "cccccccccc"}},
       {{K::kTx, b250 + "cccccc"}, {K::kTx, "cccc"}}},
      {"an event stands between",
       {{K::kRx, "a"}, {K::kEvent, "open", true}, {K::kRx, "b"}},
       {{K::kRx, "a"}, {K::kEvent, "open"}, {K::kRx, "b"}}},
      {"a note is cut",
       {{K::kLog, long_note, true}},
       {{K::kLog, long_note.substr(0, TrafficRing::kMaxNoteBytes)}}},
      {"nothing is no record", {{K::kRx, ""}, {K::kTx, "z"}}, {{K::kTx, "z"}}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    TrafficRing ring(TrafficRing::kDefaultBytes, kNever);
    for (const Step& step : c.steps) {
      step.note ? ring.Note(step.kind, step.bytes) : ring.Append(step.kind, step.bytes);
    }
    ring.Note(K::kEvent, "end");  // seals the open record
    std::vector<TrafficRecord> records = Everything(ring);
    ASSERT_EQ(records.size(), c.expected.size() + 1);
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(records[i].kind, c.expected[i].first) << i;
      EXPECT_EQ(records[i].bytes, c.expected[i].second) << i;
      EXPECT_EQ(records[i].seq + 1, records[i + 1].seq) << i;
    }
  }
}

TEST(TrafficRing, AnOpenRecordIsHiddenUntilTheLineGoesQuiet) {
  TrafficRing ring(TrafficRing::kDefaultBytes, kNever);
  ring.Append(TrafficKind::kRx, "partial");
  EXPECT_TRUE(ring.ReadFrom(ring.OldestSeq(), 0ms).records.empty());
  TrafficRing quick(TrafficRing::kDefaultBytes, 0ms);
  quick.Append(TrafficKind::kRx, "whole");
  const auto batch = quick.ReadFrom(quick.OldestSeq(), 0ms);
  ASSERT_EQ(batch.records.size(), 1u);
  EXPECT_EQ(batch.records[0].bytes, "whole");
}

TEST(TrafficRing, ReadersBehindOrLostAreToldAndGetWhatIsHeld) {
  TrafficRing ring(10, 0ms);  // every append its own record, ten bytes held
  const std::uint64_t first = ring.NextSeq();
  for (char c = 'a'; c <= 't'; ++c) ring.Append(TrafficKind::kRx, std::string(1, c));
  const auto held = ring.ReadFrom(ring.OldestSeq(), 0ms);
  EXPECT_FALSE(held.missed);
  ASSERT_EQ(held.records.size(), 10u);
  EXPECT_EQ(held.records.front().bytes, "k");
  EXPECT_EQ(held.next, first + 20);

  const auto behind = ring.ReadFrom(first, 0ms);  // its records are gone
  EXPECT_TRUE(behind.missed);
  EXPECT_EQ(behind.records.front().bytes, "k");
  const auto foreign = ring.ReadFrom(first + 1000, 0ms);  // no position of this ring
  EXPECT_TRUE(foreign.missed);
  EXPECT_EQ(foreign.records.size(), 10u);
  const auto resumed = ring.ReadFrom(first + 17, 0ms);
  EXPECT_FALSE(resumed.missed);
  ASSERT_EQ(resumed.records.size(), 3u);
  EXPECT_EQ(resumed.records[0].bytes, "r");
  const auto caught_up = ring.ReadFrom(held.next, 0ms);
  EXPECT_FALSE(caught_up.missed);
  EXPECT_TRUE(caught_up.records.empty());
}

TEST(TrafficRing, ConcurrentReadersSeeTheWriterInOneOrder) {
  constexpr int kRecords = 2000;
  constexpr int kReaders = 3;
  TrafficRing ring(std::size_t{1} << 20, 0ms);
  const std::uint64_t start = ring.NextSeq();
  std::vector<std::vector<std::string>> seen(kReaders);
  {
    std::vector<std::jthread> readers;
    for (int r = 0; r < kReaders; ++r) {
      readers.emplace_back([&, r] {
        std::uint64_t from = start;
        // Bounded in count: each read waits at most 50 ms, so this ends within seconds.
        for (int reads = 0; reads < 100000 && seen[r].size() < kRecords; ++reads) {
          const auto batch = ring.ReadFrom(from, 50ms);
          for (const auto& record : batch.records) seen[r].push_back(record.bytes);
          from = batch.next;
        }
      });
    }
    for (int i = 0; i < kRecords; ++i) {
      ring.Append(i % 2 == 0 ? TrafficKind::kRx : TrafficKind::kTx, std::to_string(i));
    }
  }
  for (int r = 0; r < kReaders; ++r) {
    ASSERT_EQ(seen[r].size(), static_cast<std::size_t>(kRecords)) << r;
    for (int i = 0; i < kRecords; ++i) ASSERT_EQ(seen[r][i], std::to_string(i)) << r;
  }
}

}  // namespace
}  // namespace orvelle::base
