// Tests of the script slot: one holder at a time under contention, aborts before and during a
// run, and the release of everything when the request ends.
#include "webfront/script_slot.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "script/fake_host.h"
#include "webfront/page_runner.h"

namespace orvelle::webfront {
namespace {

namespace fs = std::filesystem;
using script::test_support::FakeHost;

// No wait in these tests may run longer; the loops below count against it.
constexpr auto kWaitLimit = std::chrono::seconds(20);

TEST(ScriptSlotTest, SecondClaimSeesTheHolder) {
  ScriptSlot slot;
  std::string holder;
  auto first = slot.TryClaim("/w/a.ovs", holder);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(slot.RunningScript(), "/w/a.ovs");
  EXPECT_FALSE(slot.TryClaim("/w/b.ovs", holder).has_value());
  EXPECT_EQ(holder, "/w/a.ovs");
  first.reset();
  EXPECT_EQ(slot.RunningScript(), "");
  EXPECT_TRUE(slot.TryClaim("/w/b.ovs", holder).has_value());
}

// A page asking while a network client's short turn holds the slot gets the slot once the turn
// ends, and a script's claim is never waited for.
TEST(ScriptSlotTest, PagesWaitForShortTurnsAndGoFirst) {
  ScriptSlot slot;
  std::string holder;
  auto turn = slot.TryClaimShort("(client)", holder);
  ASSERT_TRUE(turn.has_value());
  std::atomic<bool> got{false};
  std::jthread page([&] {
    std::string seen;
    got = slot.TryClaim("/w/page.ovs", seen).has_value();
  });
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (slot.Waiting() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(slot.Waiting(), 1);
  turn.reset();
  page.join();
  EXPECT_TRUE(got.load());

  auto script = slot.TryClaim("/w/a.ovs", holder);
  ASSERT_TRUE(script.has_value());
  EXPECT_FALSE(slot.TryClaimShort("(client)", holder).has_value());
  EXPECT_EQ(holder, "/w/a.ovs");
  EXPECT_FALSE(slot.TryClaim("/w/b.ovs", holder).has_value());  // at once, not after a wait
}

TEST(ScriptSlotTest, AbortWithoutHolderReportsNothing) {
  ScriptSlot slot;
  EXPECT_FALSE(slot.AbortCurrent().has_value());
}

TEST(ScriptSlotTest, ManyThreadsNeverHoldTogether) {
  ScriptSlot slot;
  std::atomic<int> holders{0};
  std::atomic<int> overlap{0};
  std::atomic<int> claims{0};
  constexpr int kThreads = 8;
  constexpr int kAttempts = 2000;
  std::vector<std::jthread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string holder;
      for (int i = 0; i < kAttempts; ++i) {
        auto claim = slot.TryClaim("/w/" + std::to_string(t), holder);
        if (!claim) continue;
        ++claims;
        if (holders.fetch_add(1) != 0) ++overlap;
        holders.fetch_sub(1);
      }
    });
  }
  threads.clear();
  EXPECT_EQ(overlap.load(), 0);
  EXPECT_GT(claims.load(), 0);
}

class TempPage {
 public:
  explicit TempPage(const std::string& text) {
    std::string pattern = (fs::temp_directory_path() / "orvelle-slot-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    std::ofstream(folder_ / "page.ovs", std::ios::binary) << text;
  }
  ~TempPage() { fs::remove_all(folder_); }
  std::string Path() const { return (folder_ / "page.ovs").string(); }

 private:
  fs::path folder_;
};

TEST(ScriptSlotTest, AbortBeforeTheRunSkipsEveryLine) {
  TempPage page("<%\necho (\"before\")\n%>\n");
  ScriptSlot slot;
  FakeHost host;
  std::string holder;
  auto claim = slot.TryClaim(page.Path(), holder);
  ASSERT_TRUE(claim);
  EXPECT_EQ(slot.AbortCurrent(), std::optional<std::string>(page.Path()));
  EXPECT_EQ(RunPage({page.Path(), {}, "127.0.0.1", 1}, host, host.output, claim->StopToken()), "");
  claim.reset();
  // The next claim starts with a token of its own.
  auto next = slot.TryClaim(page.Path(), holder);
  ASSERT_TRUE(next);
  EXPECT_EQ(RunPage({page.Path(), {}, "127.0.0.1", 1}, host, host.output, next->StopToken()),
            "before\r\n\r\n");
}

// Tells, through an atomic, that the run has written its first output line.
class SignallingHost final : public script::ScriptHost {
 public:
  std::atomic<bool> wrote{false};
  void AppendOutput(std::string line) override {
    host_.AppendOutput(std::move(line));
    wrote.store(true);
  }
  std::string GetSetting(std::string_view key) override { return host_.GetSetting(key); }
  std::vector<std::string>& SplitParts() override { return host_.SplitParts(); }
  std::uint32_t Random(std::uint32_t n) override { return host_.Random(n); }
  std::tm LocalTime() override { return host_.LocalTime(); }
  std::int64_t CounterTicks() override { return host_.CounterTicks(); }
  std::int64_t CounterFrequency() override { return host_.CounterFrequency(); }
  script::SerialAccess& Serial() override { return host_.Serial(); }
  script::FileAccess& Files() override { return host_.Files(); }
  void PumpMessages() override {}
  std::vector<std::string>& Output() { return host_.output; }

 private:
  FakeHost host_;
};

TEST(ScriptSlotTest, AbortDuringRunKeepsPartialOutputAndFreesSlot) {
  TempPage page("<%\necho (\"before\")\nfor (i, 1, 2000000000, 1)\nnext\necho (\"after\")\n%>\n");
  ScriptSlot slot;
  SignallingHost host;
  std::string holder;
  std::string body;
  auto claim = slot.TryClaim(page.Path(), holder);
  ASSERT_TRUE(claim);
  std::jthread runner([&] {
    body = RunPage({page.Path(), {}, "127.0.0.1", 1}, host, host.Output(), claim->StopToken());
  });
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (!host.wrote.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(slot.AbortCurrent(), std::optional<std::string>(page.Path()));
  runner.join();
  claim.reset();
  EXPECT_EQ(body, "before\r\n");
  EXPECT_EQ(slot.RunningScript(), "");
}

TEST(ScriptSlotTest, FailingPageStillReleasesTheSlot) {
  ScriptSlot slot;
  FakeHost host;
  std::string holder;
  {
    auto claim = slot.TryClaim("/no/such/page.ovs", holder);
    EXPECT_THROW(
        RunPage({"/no/such/page.ovs", {}, "127.0.0.1", 1}, host, host.output, claim->StopToken()),
        std::exception);
  }
  EXPECT_EQ(slot.RunningScript(), "");
}

}  // namespace
}  // namespace orvelle::webfront
