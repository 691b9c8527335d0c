// ReceiveBuffer: removals by count, the bound with its single report, and indivisible appends
// against concurrent reads and removals.
#include "app/receive_buffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <thread>

namespace orvelle::app {
namespace {

TEST(ReceiveBufferTest, RemoveByCount) {
  const struct {
    std::int64_t count;
    const char* left;
  } cases[] = {{3, "def"}, {10, ""}, {0, "abcdef"}, {-1, "abcdef"}, {6, ""}, {1, "bcdef"}};
  for (const auto& c : cases) {
    TReceiveBuffer buffer(nullptr);
    buffer.Append("abcdef");
    buffer.Remove(c.count);
    EXPECT_EQ(buffer.Read(), c.left) << c.count;
  }
}

TEST(ReceiveBufferTest, ReadLeavesTheBytes) {
  TReceiveBuffer buffer(nullptr);
  buffer.Append(std::string("a\0b", 3));
  EXPECT_EQ(buffer.Read(), std::string("a\0b", 3));
  EXPECT_EQ(buffer.Read(), std::string("a\0b", 3));
  buffer.Clear();
  EXPECT_EQ(buffer.Read(), "");
}

// A poller tells "nothing new" by the change count: every append of bytes, clear and removal
// moves it, reads and empty appends do not.
TEST(ReceiveBufferTest, ChangeCountMovesOnEveryChange) {
  TReceiveBuffer buffer(nullptr);
  std::uint64_t before = 0;
  std::uint64_t after = 0;
  const struct {
    const char* what;
    std::function<void()> step;
    bool moves;
  } steps[] = {
      {"append", [&] { buffer.Append("abc"); }, true},
      {"read", [&] { buffer.Read(); }, false},
      {"empty append", [&] { buffer.Append(""); }, false},
      {"remove", [&] { buffer.Remove(1); }, true},
      {"remove nothing", [&] { buffer.Remove(0); }, false},
      {"clear", [&] { buffer.Clear(); }, true},
  };
  for (const auto& s : steps) {
    buffer.Read(before);
    s.step();
    const std::string text = buffer.Read(after);
    EXPECT_EQ(after != before, s.moves) << s.what;
    EXPECT_EQ(text, buffer.Read()) << s.what;
  }
}

TEST(ReceiveBufferTest, BoundDropsOldestAndReportsOnce) {
  int reports = 0;
  TReceiveBuffer buffer([&] { ++reports; }, 8);
  buffer.Append("12345");
  buffer.Append("6789");
  EXPECT_EQ(buffer.Read(), "23456789");
  buffer.Append("AB");
  EXPECT_EQ(buffer.Read(), "456789AB");
  EXPECT_EQ(reports, 1);
  buffer.Append("0123456789XY");  // larger than the bound alone
  EXPECT_EQ(buffer.Read(), "456789XY");
  EXPECT_EQ(reports, 1);
  buffer.Remove(4);  // a script made room: the next overflow is news again
  buffer.Append("abcdefgh");
  EXPECT_EQ(buffer.Read(), "abcdefgh");
  EXPECT_EQ(reports, 2);
}

// The buffer against the plain model (a string cut from the front): random appends, removals,
// clears and reads on a small bound, so the cheap drop of the oldest bytes is exercised often.
TEST(ReceiveBufferTest, MatchesThePlainModelUnderRandomUse) {
  constexpr std::size_t kLimit = 64;
  std::mt19937 random(7);
  TReceiveBuffer buffer([] {}, kLimit);
  std::string model;
  for (int step = 0; step < 20000; ++step) {
    const unsigned action = random() % 10;
    if (action < 6) {
      std::string bytes(random() % 40, static_cast<char>('a' + step % 26));
      buffer.Append(bytes);
      model += bytes;
      if (model.size() > kLimit) model.erase(0, model.size() - kLimit);
    } else if (action < 9) {
      const std::int64_t count = static_cast<std::int64_t>(random() % 50) - 5;
      buffer.Remove(count);
      if (count > 0) model.erase(0, std::min<std::size_t>(count, model.size()));
    } else if (random() % 8 == 0) {
      buffer.Clear();
      model.clear();
    }
    ASSERT_EQ(buffer.Read(), model) << "step " << step;
    ASSERT_EQ(buffer.Size(), model.size());
  }
}

TEST(ReceiveBufferTest, DefaultBoundIsSixteenMebibytes) {
  int reports = 0;
  TReceiveBuffer buffer([&] { ++reports; });
  const std::string mebibyte(1 << 20, 'x');
  for (int i = 0; i < 17; ++i) buffer.Append(mebibyte);
  EXPECT_EQ(buffer.Size(), std::size_t{16} << 20);
  EXPECT_EQ(reports, 1);
}

// Appends of whole records against reads and removals of whole records: every read sees only
// whole records, so no append was split by a removal.
TEST(ReceiveBufferTest, AppendsReadsAndRemovalsAreIndivisible) {
  constexpr int kRecords = 2000;
  const std::string record = "0123456789";
  TReceiveBuffer buffer(nullptr);
  std::thread writer([&] {
    for (int i = 0; i < kRecords; ++i) buffer.Append(record);
  });
  bool whole = true;
  for (int i = 0; i < kRecords; ++i) {
    const std::string seen = buffer.Read();
    whole = whole && seen.size() % record.size() == 0;
    if (seen.size() >= record.size()) buffer.Remove(static_cast<std::int64_t>(record.size()));
  }
  writer.join();
  EXPECT_TRUE(whole);
  EXPECT_EQ(buffer.Size() % record.size(), 0u);
}

}  // namespace
}  // namespace orvelle::app
