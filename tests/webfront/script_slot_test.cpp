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
#include "webfront/claimed_run_host.h"
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

TEST(ScriptSlotTest, AbortWhilePreparedSkipsTheRun) {
  ScriptSlot slot;
  FakeHost host;
  script::TExecute engine(host);
  std::string holder;
  auto claim = slot.TryClaim("/w/a.ovs", holder);
  ASSERT_TRUE(claim);
  claim->Created(engine);
  EXPECT_TRUE(slot.HasCurrentScript());
  EXPECT_EQ(slot.AbortCurrent(), std::optional<std::string>("/w/a.ovs"));
  EXPECT_FALSE(claim->Starting());
  claim->Finished();
  EXPECT_FALSE(slot.HasCurrentScript());
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

TEST(ScriptSlotTest, AbortDuringRunKeepsPartialOutputAndFreesSlot) {
  TempPage page("<%\necho (\"before\")\nfor (i, 1, 2000000000, 1)\nnext\necho (\"after\")\n%>\n");
  ScriptSlot slot;
  FakeHost host;
  std::string holder;
  std::string body;
  std::jthread runner([&] {
    auto claim = slot.TryClaim(page.Path(), holder);
    ClaimedRunHost run_host(host, *claim);
    body = RunPage({page.Path(), {}, "127.0.0.1", 1}, run_host, host.output, &run_host);
  });
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (!slot.HasCurrentScript() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(slot.AbortCurrent(), std::optional<std::string>(page.Path()));
  runner.join();
  EXPECT_EQ(body, "before\r\n");
  EXPECT_EQ(slot.RunningScript(), "");
  EXPECT_FALSE(slot.HasCurrentScript());
}

TEST(ScriptSlotTest, FailingPageStillReleasesEngine) {
  ScriptSlot slot;
  FakeHost host;
  std::string holder;
  {
    auto claim = slot.TryClaim("/no/such/page.ovs", holder);
    ClaimedRunHost run_host(host, *claim);
    EXPECT_THROW(
        RunPage({"/no/such/page.ovs", {}, "127.0.0.1", 1}, run_host, host.output, &run_host),
        std::exception);
    EXPECT_FALSE(slot.HasCurrentScript());
  }
  EXPECT_EQ(slot.RunningScript(), "");
}

}  // namespace
}  // namespace orvelle::webfront
